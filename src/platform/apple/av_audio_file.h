#pragma once

#import <AVFAudio/AVFAudio.h>

#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace sorvanel {

// A file open for reading through AVAudioFile, with the one PCM buffer that every read fills and
// lends to the metrics.
class AppleAudioFile final : public AudioFile {
  public:
    explicit AppleAudioFile(AVAudioFile* file);
    AudioFormat processingFormat() const override;
    std::int64_t length() const override;
    std::int64_t framePosition() const override;
    bool makeReadBuffer(std::uint32_t frameCapacity) override;
    PcmBufferView readIntoBuffer() override;

  private:
    AVAudioFile* file_;
    AVAudioFormat* format_;  // fetched once: it serves the buffer and every format value
    AVAudioPCMBuffer* buffer_ = nil;
};

// AVFAudio's reader: decodes to deinterleaved 32-bit float at the file's own rate and channels.
class AppleAudioFileReader final : public AudioFileReader {
  public:
    std::unique_ptr<AudioFile> openForReading(const std::string& path) override;
};

}  // namespace sorvanel
