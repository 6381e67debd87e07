#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/media.h"
#include "runtime/error.h"

namespace sorvanel {

enum class FileType { appleM4A };
enum class MediaType { audio };

// MPEG-4 AAC: the four-character code 'aac '.
inline constexpr std::uint32_t kAudioFormatMPEG4AAC = 0x61616320;

struct AudioOutputSettings {
    std::uint32_t formatID = kAudioFormatMPEG4AAC;
    std::int64_t sampleRate = 0;
    std::int64_t numberOfChannels = 0;
    std::int64_t encoderBitRate = 0;
};

class AssetWriterInput {
  public:
    virtual ~AssetWriterInput() = default;
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    // False on failure, with the reason in the writer's error().
    virtual bool appendSampleBuffer(const SampleBuffer& buffer) = 0;
    virtual void markAsFinished() = 0;
};

class AssetWriter {
  public:
    virtual ~AssetWriter() = default;
    virtual void addInput(std::shared_ptr<AssetWriterInput> input) = 0;
    // False on failure, with the reason in error().
    virtual bool startWriting() = 0;
    // The file's timeline starts at this presentation time.
    virtual void startSessionAtSourceTime(MediaTime time) = 0;
    // Completes and closes the file, then calls `completionHandler` exactly once, on another
    // thread than the caller's; error() then says whether it worked.
    virtual void finishWriting(std::function<void()> completionHandler) = 0;
    virtual std::optional<Error> error() const = 0;
};

class AssetWriterFactory {
  public:
    virtual ~AssetWriterFactory() = default;
    // Throws Error when no writer can be made for the path.
    virtual std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) = 0;
    virtual std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                                        const AudioOutputSettings& settings) = 0;
};

}  // namespace sorvanel
