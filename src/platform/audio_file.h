#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvanel {

// The format in which reads deliver audio.
struct AudioFormat {
    double sampleRate = 0.0;
    std::uint32_t channelCount = 0;
    // Deinterleaved 32-bit float, one plane per channel.
    bool isFloat = true;
};

// A reusable buffer of up to frameCapacity() frames in one format.
class PcmBuffer {
  public:
    PcmBuffer(AudioFormat format, std::uint32_t frameCapacity)
        : format_(format),
          capacity_(frameCapacity),
          samples_(format.isFloat ? static_cast<std::size_t>(format.channelCount) * frameCapacity
                                  : 0),
          planes_(format.isFloat ? format.channelCount : 0) {
        for (std::size_t c = 0; c < planes_.size(); ++c)
            planes_[c] = samples_.data() + c * capacity_;
    }
    PcmBuffer(const PcmBuffer&) = delete;
    PcmBuffer& operator=(const PcmBuffer&) = delete;

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return capacity_; }
    std::uint32_t frameLength() const { return length_; }
    void setFrameLength(std::uint32_t frames) { length_ = frames; }
    // One plane per channel; null when the format does not hold 32-bit floats.
    float* const* floatChannelData() { return format_.isFloat ? planes_.data() : nullptr; }
    const float* const* floatChannelData() const {
        return format_.isFloat ? planes_.data() : nullptr;
    }

  private:
    AudioFormat format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::vector<float> samples_;
    std::vector<float*> planes_;
};

// An audio file open for reading; closed when destroyed.
class AudioFile {
  public:
    virtual ~AudioFile() = default;
    virtual AudioFormat processingFormat() const = 0;
    // In frames, known before the first read: exactly what the reads deliver in total.
    virtual std::int64_t length() const = 0;
    virtual std::int64_t framePosition() const = 0;
    // Fills up to the buffer's capacity from the read position, sets its frame length and
    // advances the position by it. Throws Error on failure.
    virtual void readIntoBuffer(PcmBuffer& buffer) = 0;
};

class AudioFileReader {
  public:
    virtual ~AudioFileReader() = default;
    // Throws Error when the file cannot be opened as audio.
    virtual std::unique_ptr<AudioFile> openForReading(const std::string& path) = 0;
    // Null when no buffer can be made.
    virtual std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format,
                                                     std::uint32_t frameCapacity) {
        return std::make_unique<PcmBuffer>(format, frameCapacity);
    }
};

}  // namespace sorvanel
