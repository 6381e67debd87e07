#pragma once

#include "platform/audio_file.h"

namespace sorvanel {

// Decodes the first audio stream of any file FFmpeg can demux into deinterleaved 32-bit float at
// the file's own rate and channel count. Encoder priming and padding are not frames of the file.
class FfmpegAudioFileReader final : public AudioFileReader {
  public:
    FfmpegAudioFileReader();
    std::unique_ptr<AudioFile> openForReading(const std::string& path) override;
};

}  // namespace sorvanel
