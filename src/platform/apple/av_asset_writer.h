#pragma once

#import <AVFoundation/AVFoundation.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/asset_writer.h"

namespace sorvanel {

class AppleAssetWriterInput final : public AssetWriterInput {
  public:
    explicit AppleAssetWriterInput(AVAssetWriterInput* input) : input_(input) {}
    void setExpectsMediaDataInRealTime(bool realTime) override;
    bool isReadyForMoreMediaData() const override;
    bool appendSampleBuffer(const SampleBuffer& buffer) override;
    void markAsFinished() override;
    AVAssetWriterInput* input() const { return input_; }
    // The writer that took the input: marking its input finished raises unless it is writing.
    void setWriter(AVAssetWriter* writer) { writer_ = writer; }

  private:
    AVAssetWriterInput* input_;
    __weak AVAssetWriter* writer_ = nil;
};

class AppleAssetWriter final : public AssetWriter {
  public:
    explicit AppleAssetWriter(AVAssetWriter* writer) : writer_(writer) {}
    void addInput(std::shared_ptr<AssetWriterInput> input) override;
    bool startWriting() override;
    void startSessionAtSourceTime(MediaTime time) override;
    void finishWriting(std::function<void()> completionHandler) override;
    std::optional<Error> error() const override;

  private:
    AVAssetWriter* writer_;
};

// AVFoundation's asset writer: AAC into an Apple M4A file, encoded by the system.
class AppleAssetWriterFactory final : public AssetWriterFactory {
  public:
    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) override;
    std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                                const AudioOutputSettings& settings) override;
};

}  // namespace sorvanel
