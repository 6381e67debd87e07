#pragma once

#include <cstdint>

#include "platform/media.h"

namespace sorvanel::testing {

// A sample buffer of no platform: the core only asks whether it can be used and when it plays.
class FakeSampleBuffer final : public SampleBuffer {
  public:
    explicit FakeSampleBuffer(std::int64_t time, bool valid = true, bool ready = true)
        : time_{time, 48000}, valid_(valid), ready_(ready) {}
    bool isValid() const override { return valid_; }
    bool dataIsReady() const override { return ready_; }
    MediaTime presentationTimeStamp() const override { return time_; }
    const NativeSampleBuffer* native() const override { return nullptr; }

  private:
    MediaTime time_;
    bool valid_;
    bool ready_;
};

}  // namespace sorvanel::testing
