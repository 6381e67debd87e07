#pragma once

#include "platform/capture.h"

namespace sorvanel {

// Placeholder until the libpulse capture backend lands.
class PulseCaptureService final : public CaptureService {
public:
    void getShareableContent(bool, bool, Completion<std::shared_ptr<ShareableContent>> completion) override {
        completion.fail(Error("SorvanelAudio", 102, "No capture backend is built in."));
    }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                              std::shared_ptr<StreamDelegate>) override {
        return nullptr;
    }
};

}  // namespace sorvanel
