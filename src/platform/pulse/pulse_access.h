#pragma once

#include "platform/access.h"
#include "platform/pulse/pulse_capture_service.h"

namespace sorvanel {

// Linux shows no capture prompt: access is granted unless the sound server refuses our
// connection for lack of access. The answer comes over the capture service's connection, which
// the content query then uses too. An unreachable server is no refusal: the recording then fails
// at the content query with the server's reason. A server that never answers is an error.
class PulseAccess final : public ScreenCaptureAccess {
  public:
    explicit PulseAccess(PulseCaptureService& service) : service_(service) {}
    void preflight(Completion<bool> completion) override;
    void request(Completion<bool> completion) override;

  private:
    PulseCaptureService& service_;
};

}  // namespace sorvanel
