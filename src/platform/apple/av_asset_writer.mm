#include "platform/apple/av_asset_writer.h"

#include <CoreMedia/CoreMedia.h>

#include "platform/apple/apple_native.h"
#include "platform/apple/foundation_bridge.h"

namespace sorvanel {
namespace {

AVFileType fileTypeFor(FileType fileType) {
    switch (fileType) {
        case FileType::appleM4A:
            return AVFileTypeAppleM4A;
    }
    throw toolError(kUnexpectedErrorCode, @"This system writes no such file type.");
}

AVMediaType mediaTypeFor(MediaType mediaType) {
    switch (mediaType) {
        case MediaType::audio:
            return AVMediaTypeAudio;
    }
    throw toolError(kUnexpectedErrorCode, @"This system writes no such media type.");
}

// Exactly four entries: the format as an unsigned 32-bit number, the rest as signed 64-bit ones.
NSDictionary<NSString*, id>* outputSettingsFor(const AudioOutputSettings& settings) {
    return @{
        AVFormatIDKey : [NSNumber numberWithUnsignedInt:settings.formatID],
        AVSampleRateKey : [NSNumber numberWithLongLong:settings.sampleRate],
        AVNumberOfChannelsKey : [NSNumber numberWithLongLong:settings.numberOfChannels],
        AVEncoderBitRateKey : [NSNumber numberWithLongLong:settings.encoderBitRate],
    };
}

}  // namespace

void AppleAssetWriterInput::setExpectsMediaDataInRealTime(bool realTime) {
    // setExpectsMediaDataInRealTime: stores the flag; before writing starts, else it raises.
    withoutObjCExceptions([&] { [input_ setExpectsMediaDataInRealTime:realTime]; });
}

bool AppleAssetWriterInput::isReadyForMoreMediaData() const {
    // readyForMoreMediaData: whether an append now would be taken without waiting; NO for good
    // once the writer failed.
    return withoutObjCExceptions([&] { return static_cast<bool>(input_.readyForMoreMediaData); });
}

bool AppleAssetWriterInput::appendSampleBuffer(const SampleBuffer& buffer) {
    const NativeSampleBuffer* native = buffer.native();
    if (!native) throw toolError(kUnexpectedErrorCode, @"The sample buffer is not this system's.");
    // appendSampleBuffer: the system's own CMSampleBuffer, unchanged; the input retains what it
    // keeps. NO on failure, with the reason in the writer's error. Raises when the writer is not
    // writing or has no session, which the sink rules out.
    return withoutObjCExceptions(
        [&] { return [input_ appendSampleBuffer:native->sampleBuffer()]; });
}

void AppleAssetWriterInput::markAsFinished() {
    // markAsFinished: no more buffers will be appended. Raises unless the writer is writing: a
    // writer that failed on its own since the sink looked is left alone.
    withoutObjCExceptions([&] {
        AVAssetWriter* writer = writer_;
        if (writer && writer.status != AVAssetWriterStatusWriting) return;
        [input_ markAsFinished];
    });
}

void AppleAssetWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
    auto* own = dynamic_cast<AppleAssetWriterInput*>(input.get());
    if (!own) throw toolError(kUnexpectedErrorCode, @"The writer input is not this system's.");
    // addInput: the writer retains the input. Raises when it cannot take it (asked without
    // canAddInput: first, as the sink does), which the exception guard turns into an Error.
    withoutObjCExceptions([&] { [writer_ addInput:own->input()]; });
    own->setWriter(writer_);
}

bool AppleAssetWriter::startWriting() {
    // startWriting: creates the file (never over an existing one) and starts the encoder. NO on
    // failure, with the reason in `error`.
    return withoutObjCExceptions([&] { return [writer_ startWriting]; });
}

void AppleAssetWriter::startSessionAtSourceTime(MediaTime time) {
    // startSessionAtSourceTime: the file's timeline starts at this presentation time.
    withoutObjCExceptions([&] { [writer_ startSessionAtSourceTime:cmTimeFrom(time)]; });
}

void AppleAssetWriter::finishWriting(std::function<void()> completionHandler) {
    // finishWritingWithCompletionHandler: returns at once; completes and closes the file, then
    // calls the handler once on a thread of the writer's; `error` then tells whether it worked.
    // Raises unless the writer is writing: a writer that failed on its own since the sink looked
    // is not finished, and the handler runs on a global queue instead, with `error` telling why.
    withoutObjCExceptions([&] {
        if (writer_.status != AVAssetWriterStatusWriting) {
            dispatch_async(dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0), ^{
              try {
                  completionHandler();
              } catch (...) {
              }
            });
            return;
        }
        [writer_ finishWritingWithCompletionHandler:^{
          try {
              completionHandler();
          } catch (...) {
              // The handler only posts to the waiter; nothing may unwind into AVFoundation.
          }
        }];
    });
}

std::optional<Error> AppleAssetWriter::error() const {
    // error: the writer's current error, nil unless its status is failed.
    NSError* error = withoutObjCExceptions([&] { return writer_.error; });
    if (!error) return std::nullopt;
    return errorFrom(error);
}

std::shared_ptr<AssetWriter> AppleAssetWriterFactory::makeWriter(const std::string& path,
                                                                 FileType fileType) {
    NSURL* url = fileURLFor(path);
    // initWithURL:fileType:error: a writer for the URL, not yet writing, or nil and the error.
    // Raises for a file type it does not know.
    const AVFileType type = fileTypeFor(fileType);
    NSError* error = nil;
    AVAssetWriter* writer = withoutObjCExceptions([&] {
        NSError* failure = nil;
        AVAssetWriter* made = [[AVAssetWriter alloc] initWithURL:url fileType:type error:&failure];
        error = failure;
        return made;
    });
    if (!writer) throw errorFrom(error);
    return std::make_shared<AppleAssetWriter>(writer);
}

std::shared_ptr<AssetWriterInput> AppleAssetWriterFactory::makeInput(
    MediaType mediaType, const AudioOutputSettings& settings) {
    // initWithMediaType:outputSettings: an input that encodes what it is given by the settings,
    // with no source-format hint. Raises for settings it cannot encode.
    AVAssetWriterInput* input = withoutObjCExceptions([&] {
        return [[AVAssetWriterInput alloc] initWithMediaType:mediaTypeFor(mediaType)
                                              outputSettings:outputSettingsFor(settings)];
    });
    return std::make_shared<AppleAssetWriterInput>(input);
}

}  // namespace sorvanel
