#pragma once

#include <memory>
#include <mutex>

#include "platform/capture.h"

namespace sorvanel {

class PulseConnection;

// The sound server's clients as applications, its sinks as displays, and capture streams that
// record the selected clients' playback streams. One connection per content query; the streams
// made afterwards use the connection of the latest query.
class PulseCaptureService final : public CaptureService {
  public:
    PulseCaptureService();
    ~PulseCaptureService() override;

    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             Completion<std::shared_ptr<ShareableContent>> completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::shared_ptr<StreamDelegate> delegate) override;

  private:
    std::mutex mutex_;
    std::shared_ptr<PulseConnection> connection_;
};

}  // namespace sorvanel
