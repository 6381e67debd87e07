#pragma once

namespace sorvanel {

// The system's answer to whether this process may capture. Both calls block until answered.
class ScreenCaptureAccess {
  public:
    virtual ~ScreenCaptureAccess() = default;
    // Whether access is already granted; never prompts.
    virtual bool preflight() = 0;
    // Asks for access (the system may prompt) and answers whether it is granted.
    virtual bool request() = 0;
};

}  // namespace sorvanel
