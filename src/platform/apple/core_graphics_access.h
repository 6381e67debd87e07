#pragma once

#include "platform/access.h"

namespace sorvanel {

// Screen-capture access as macOS keeps it: CoreGraphics asks the TCC database, which attributes
// the answer to the app that runs the tool (the terminal, for a command-line tool).
class CoreGraphicsAccess final : public ScreenCaptureAccess {
  public:
    void preflight(Completion<bool> completion) override;
    void request(Completion<bool> completion) override;
};

}  // namespace sorvanel
