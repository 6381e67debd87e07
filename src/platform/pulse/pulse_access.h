#pragma once

#include "platform/access.h"

namespace sorvanel {

// Placeholder until the libpulse access check lands: it grants nothing.
class PulseAccess final : public ScreenCaptureAccess {
public:
    bool preflight() override { return false; }
    bool request() override { return false; }
};

}  // namespace sorvanel
