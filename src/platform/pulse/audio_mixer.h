#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/pcm_sample_buffer.h"

namespace sorvanel {

// Mixes streams that arrive at their own pace onto one timeline of frames kept by a clock.
// Frame 0 is the timeline's origin; the caller turns its clock into frames. What no stream
// delivered for a stretch of the timeline comes out as silence: the output has no gap and no
// overlap. Not thread-safe; the capture stream uses it on its loop's thread only.
class AudioMixer {
  public:
    // Where one stream writes next; empty until it is anchored to the clock.
    struct Source {
        std::optional<std::int64_t> position;
    };

    // A stream that lags the clock by more than this stopped delivering for a while (a paused
    // application on some servers): its next data is placed by the clock again.
    static constexpr double kResyncSeconds = 0.1;

    AudioMixer(std::uint32_t sampleRate, std::uint32_t channels, std::int64_t capacityFrames);

    // Before `pendingFrames` frames are added: places the source so that they end at `nowFrame`
    // when it is new or has fallen behind; never before what was already taken.
    void anchor(Source& source, std::int64_t pendingFrames, std::int64_t nowFrame);
    // Adds interleaved frames at the source's position and moves it on. Frames before what was
    // already taken, or beyond the capacity, are dropped.
    void add(Source& source, const float* interleaved, std::int64_t frames);
    // A stretch the stream could not deliver: its position moves on, nothing is added.
    void skip(Source& source, std::int64_t frames);

    // Takes the timeline up to `endFrame` in deinterleaved buffers of at most `maxFrames`, with
    // presentation times {frame, sampleRate}.
    std::vector<std::shared_ptr<PcmSampleBuffer>> take(std::int64_t endFrame,
                                                       std::uint32_t maxFrames);

    std::int64_t taken() const { return taken_; }
    std::uint32_t sampleRate() const { return rate_; }
    std::uint32_t channels() const { return channels_; }

  private:
    float* slot(std::int64_t frame) {
        return ring_.data() + static_cast<std::size_t>(frame % capacity_) * channels_;
    }

    std::uint32_t rate_;
    std::uint32_t channels_;
    std::int64_t capacity_;
    std::vector<float> ring_;  // interleaved, indexed by frame modulo the capacity
    std::int64_t taken_ = 0;
};

}  // namespace sorvanel
