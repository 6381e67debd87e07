#pragma once

#include <cstdint>

namespace sorvanel {

// A point on a media timeline: value / timescale seconds.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    bool isValid() const { return timescale > 0; }
    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// What kind of output a capture stream delivers a buffer for.
enum class StreamOutputType : std::int64_t { screen = 0, audio = 1, microphone = 2 };

// One buffer of captured audio: deinterleaved 32-bit float frames with a presentation time.
class SampleBuffer {
  public:
    virtual ~SampleBuffer() = default;
    virtual bool isValid() const = 0;
    virtual bool dataIsReady() const = 0;
    virtual MediaTime presentationTimeStamp() const = 0;
    virtual double sampleRate() const = 0;
    virtual std::uint32_t channelCount() const = 0;
    virtual std::uint32_t frameCount() const = 0;
    // frameCount() samples of one channel.
    virtual const float* channelData(std::uint32_t channel) const = 0;
};

}  // namespace sorvanel
