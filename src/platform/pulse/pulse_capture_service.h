#pragma once

#include <memory>

#include "platform/capture.h"

namespace sorvanel {

class PulseConnection;

// The sound server's clients as applications, its sinks as displays, and capture streams that
// record the selected clients' playback streams. One connection serves the access check, the
// content query and the stream, so a server that does not answer costs one limit, not two.
class PulseCaptureService final : public CaptureService {
  public:
    // Made on first use, from the main thread.
    const std::shared_ptr<PulseConnection>& connection();

    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             Completion<std::shared_ptr<ShareableContent>> completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::shared_ptr<StreamDelegate> delegate) override;

  private:
    std::shared_ptr<PulseConnection> connection_;
};

}  // namespace sorvanel
