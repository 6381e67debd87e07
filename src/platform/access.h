#pragma once

#include "runtime/completion.h"

namespace sorvanel {

// The system's answer to whether this process may capture. Each call completes once, on any
// thread: with the answer, or with an error when the system gave none (no answer is never a yes).
class ScreenCaptureAccess {
  public:
    virtual ~ScreenCaptureAccess() = default;
    // Whether access is already granted; never prompts.
    virtual void preflight(Completion<bool> completion) = 0;
    // Asks for access (the system may prompt) and answers whether it is granted.
    virtual void request(Completion<bool> completion) = 0;
};

}  // namespace sorvanel
