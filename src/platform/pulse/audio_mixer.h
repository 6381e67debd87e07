#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/pcm_sample_buffer.h"
#include "platform/pulse/capture_timing.h"

namespace sorvanel {

// Mixes streams that arrive at their own pace onto one timeline of frames kept by a clock.
// Frame 0 is the timeline's origin; the caller turns its clock into frames. What no stream
// delivered for a stretch of the timeline comes out as silence: the output has no gap and no
// overlap. Not thread-safe; the capture stream uses it on its loop's thread only.
//
// A stream's frames are counted, not timed: what a server delivers late (a stalled reader, a
// starved server) still follows what came before. Only a stretch the stream itself never
// delivered (PipeWire sends nothing while an application is paused) becomes silence. Such a
// stretch shows as data that arrives later than the stream's usual delay and stays that late;
// data that was merely held up is followed by the rest in a burst. So late data is held until
// the two can be told apart, at most `CaptureTiming::kHoldSeconds`. Data that stays late is a gap
// only if the stream changed state (paused, resumed) around then: a server whose delivery delay
// grows for good (PipeWire when its cycle changes) has missed nothing.
class AudioMixer {
  public:
    // One stream's place on the timeline; empty until its first data.
    struct Source {
        std::optional<std::int64_t> position;  // where its next frame goes
        std::int64_t firstDue = 0;             // where its first frame is due, until it has data
        std::int64_t delay[2] = {kNoDelay, kNoDelay};  // least clock minus position per window
        std::int64_t delaySince = 0;
        std::vector<float> held;  // interleaved frames that follow a suspected gap
        std::int64_t heldSince = 0;
        std::int64_t heldGap = 0;  // the least lateness seen while holding
        // When the server last told of a change of the stream's state (a pause or resume).
        std::int64_t changedAt = std::numeric_limits<std::int64_t>::min();
    };

    AudioMixer(std::uint32_t sampleRate, std::uint32_t channels, std::int64_t capacityFrames);

    // Interleaved frames that the source delivered by `nowFrame`. The first ones end at
    // `nowFrame`; later ones follow the source's previous frames, after a gap when it had one.
    // Frames before what was already taken, or beyond the capacity, are dropped.
    void add(Source& source, const float* interleaved, std::int64_t frames, std::int64_t nowFrame);
    // The server told of a change of the source's state (a pause or resume) at `nowFrame`.
    void changed(Source& source, std::int64_t nowFrame) { source.changedAt = nowFrame; }
    // A stretch the stream could not deliver: its position moves on, nothing is added.
    void skip(Source& source, std::int64_t frames);
    // Places held frames whose gap is decided by now. With `ending` (the source or the capture
    // ends) they are placed at once, decided on the evidence so far, and never before the cut.
    void settle(Source& source, std::int64_t nowFrame, bool ending);
    // Where the source's data ends so far, held frames included.
    std::int64_t reach(const Source& source) const {
        return source.position.value_or(0) +
               static_cast<std::int64_t>(source.held.size() / channels_);
    }
    // How far the timeline may be taken without cutting off what the source may still deliver:
    // its position (or, before its first data, where that is due), unless it has been quiet for
    // longer than `patienceFrames`. A first fragment the cut has passed would be placed late.
    std::int64_t cutLimit(const Source& source, std::int64_t nowFrame,
                          std::int64_t patienceFrames) const;
    // Whether the timeline's end at `endFrame` waits for the source, by the cut's rule: it has
    // not delivered up to there, and its next frame is not yet `patienceFrames` old.
    bool owes(const Source& source, std::int64_t endFrame, std::int64_t nowFrame,
              std::int64_t patienceFrames) const {
        return source.position && reach(source) < endFrame &&
               reach(source) > nowFrame - patienceFrames;
    }

    // Takes the timeline up to `endFrame` in deinterleaved buffers of at most `maxFrames`, with
    // presentation times {frame, sampleRate}.
    std::vector<std::shared_ptr<PcmSampleBuffer>> take(std::int64_t endFrame,
                                                       std::uint32_t maxFrames);

    std::int64_t taken() const { return taken_; }
    std::uint32_t sampleRate() const { return rate_; }
    std::uint32_t channels() const { return channels_; }

  private:
    static constexpr std::int64_t kNoDelay = std::numeric_limits<std::int64_t>::max();

    float* slot(std::int64_t frame) {
        return ring_.data() + static_cast<std::size_t>(frame % capacity_) * channels_;
    }
    std::int64_t frames(double seconds) const { return static_cast<std::int64_t>(seconds * rate_); }
    std::int64_t usualDelay(const Source& source) const;
    void noteDelay(Source& source, std::int64_t nowFrame);
    void write(Source& source, const float* interleaved, std::int64_t frames);
    void release(Source& source, std::int64_t gap, std::int64_t nowFrame);

    std::uint32_t rate_;
    std::uint32_t channels_;
    std::int64_t capacity_;
    std::vector<float> ring_;  // interleaved, indexed by frame modulo the capacity
    std::int64_t taken_ = 0;
};

}  // namespace sorvanel
