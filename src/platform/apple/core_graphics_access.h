#pragma once

#include "platform/access.h"

namespace sorvanel {

// Screen-capture access as macOS keeps it: CoreGraphics asks the TCC database, which attributes
// the answer to the app that runs the tool (the terminal, for a command-line tool).
class CoreGraphicsAccess final : public ScreenCaptureAccess {
  public:
    bool preflight() override;
    bool request() override;
};

}  // namespace sorvanel
