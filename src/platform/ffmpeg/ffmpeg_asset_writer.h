#pragma once

#include <memory>
#include <string>

#include "platform/asset_writer.h"

namespace sorvanel {

// Asset writers on libavformat/libavcodec: FFmpeg's native AAC encoder, muxed by the `ipod`
// muxer into an Apple M4A file whatever the path's extension. The file is created exclusively
// when writing starts; no file is ever replaced or truncated, and none deleted but one this
// writer created and could not set up.
class FfmpegAssetWriterFactory final : public AssetWriterFactory {
  public:
    // Fails, naming the path, when the file cannot be made there: its folder is missing or not
    // writable, or something already exists at the path.
    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) override;
    std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                                const AudioOutputSettings& settings) override;
};

}  // namespace sorvanel
