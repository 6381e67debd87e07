#pragma once

#include "platform/asset_writer.h"

namespace sorvanel {

// Placeholder until the FFmpeg writer lands.
class FfmpegAssetWriterFactory final : public AssetWriterFactory {
public:
    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType) override {
        throw Error("SorvanelAudio", 100, "Cannot write " + path + ": no AAC writer is built in.");
    }
    std::shared_ptr<AssetWriterInput> makeInput(MediaType, const AudioOutputSettings&) override {
        return nullptr;
    }
};

}  // namespace sorvanel
