#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sorvanel {

// The format in which reads deliver audio: deinterleaved 32-bit float, one plane per channel.
struct AudioFormat {
    double sampleRate = 0.0;
    std::uint32_t channelCount = 0;
};

// The read buffer as the file lends it after a read: its planes, how many frames they hold and
// how many they can hold.
struct PcmBufferView {
    // One plane per channel; null when the buffer does not hold 32-bit floats.
    const float* const* floatChannelData = nullptr;
    std::uint32_t frameLength = 0;
    std::uint32_t frameCapacity = 0;
};

// An audio file open for reading; closed when destroyed.
class AudioFile {
  public:
    virtual ~AudioFile() = default;
    virtual AudioFormat processingFormat() const = 0;
    // In frames, known before the first read: exactly what the reads deliver in total.
    virtual std::int64_t length() const = 0;
    virtual std::int64_t framePosition() const = 0;
    // Makes the one read buffer that every read fills: `frameCapacity` frames of the processing
    // format, owned by the file. False when it cannot be made.
    virtual bool makeReadBuffer(std::uint32_t frameCapacity) = 0;
    // Fills the read buffer with up to its capacity from the read position, advances the
    // position by what it delivered, and lends the buffer until the next read. Throws Error.
    virtual PcmBufferView readIntoBuffer() = 0;
};

class AudioFileReader {
  public:
    virtual ~AudioFileReader() = default;
    // Throws Error when the file cannot be opened as audio.
    virtual std::unique_ptr<AudioFile> openForReading(const std::string& path) = 0;
};

}  // namespace sorvanel
