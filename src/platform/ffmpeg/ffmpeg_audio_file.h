#pragma once

#include "platform/audio_file.h"

namespace sorvanel {

// Placeholder until the FFmpeg reader lands.
class FfmpegAudioFileReader final : public AudioFileReader {
public:
    std::unique_ptr<AudioFile> openForReading(const std::string& path) override {
        throw Error("SorvanelAudio", 101, "Cannot read " + path + ": no audio reader is built in.");
    }
};

}  // namespace sorvanel
