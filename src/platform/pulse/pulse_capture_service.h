#pragma once

#include <memory>

#include "platform/capture.h"

namespace sorvanel {

// The sound server's clients as applications, its sinks as displays, and capture streams that
// record the selected clients' playback streams. Each content query has a connection of its own,
// and a stream records through the connection of the content its display came from.
class PulseCaptureService final : public CaptureService {
  public:
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             Completion<std::shared_ptr<ShareableContent>> completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::shared_ptr<StreamDelegate> delegate) override;
};

}  // namespace sorvanel
