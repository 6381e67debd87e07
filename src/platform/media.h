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

// The buffer in the platform's own form, which that platform's writer takes unchanged (a
// CMSampleBuffer on Apple, PCM frames on Linux). Defined by the backend the build chose.
class NativeSampleBuffer;

// One buffer of captured audio, as the core sees it: whether it can be used, and when it plays.
class SampleBuffer {
  public:
    virtual ~SampleBuffer() = default;
    virtual bool isValid() const = 0;
    virtual bool dataIsReady() const = 0;
    virtual MediaTime presentationTimeStamp() const = 0;
    // Null for a buffer that no platform made.
    virtual const NativeSampleBuffer* native() const = 0;
};

}  // namespace sorvanel
