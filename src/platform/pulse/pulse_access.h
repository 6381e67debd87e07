#pragma once

#include "platform/access.h"

namespace sorvanel {

// Linux shows no capture prompt: access is granted unless the sound server refuses our
// connection for lack of access. An unreachable server is no refusal; the recording then fails
// at the content query with the server's reason.
class PulseAccess final : public ScreenCaptureAccess {
  public:
    bool preflight() override;
    bool request() override;
};

}  // namespace sorvanel
