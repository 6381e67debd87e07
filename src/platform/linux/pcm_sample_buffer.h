#pragma once

#include <cstdint>
#include <vector>

#include "platform/media.h"

namespace sorvanel {

// What the Linux backends' sample buffers are: deinterleaved 32-bit float frames, which the
// capture makes and the writer encodes.
class NativeSampleBuffer {
  public:
    virtual ~NativeSampleBuffer() = default;
    virtual double sampleRate() const = 0;
    virtual std::uint32_t channelCount() const = 0;
    virtual std::uint32_t frameCount() const = 0;
    // frameCount() samples of one channel.
    virtual const float* channelData(std::uint32_t channel) const = 0;
};

// A valid, ready sample buffer that owns its planes; what the Linux capture delivers.
class PcmSampleBuffer final : public SampleBuffer, public NativeSampleBuffer {
  public:
    PcmSampleBuffer(MediaTime presentationTime, double sampleRate, std::uint32_t channels,
                    std::uint32_t frames)
        : time_(presentationTime),
          rate_(sampleRate),
          channels_(channels),
          frames_(frames),
          samples_(static_cast<std::size_t>(channels) * frames, 0.0f) {}

    bool isValid() const override { return true; }
    bool dataIsReady() const override { return true; }
    MediaTime presentationTimeStamp() const override { return time_; }
    const NativeSampleBuffer* native() const override { return this; }

    double sampleRate() const override { return rate_; }
    std::uint32_t channelCount() const override { return channels_; }
    std::uint32_t frameCount() const override { return frames_; }
    const float* channelData(std::uint32_t channel) const override {
        return samples_.data() + static_cast<std::size_t>(channel) * frames_;
    }
    float* mutableChannelData(std::uint32_t channel) {
        return samples_.data() + static_cast<std::size_t>(channel) * frames_;
    }

  private:
    MediaTime time_;
    double rate_;
    std::uint32_t channels_;
    std::uint32_t frames_;
    std::vector<float> samples_;
};

}  // namespace sorvanel
