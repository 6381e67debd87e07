#include "platform/apple/av_audio_file.h"

#include "platform/apple/foundation_bridge.h"

namespace sorvanel {

AppleAudioFile::AppleAudioFile(AVAudioFile* file)
    // processingFormat: what reads deliver, deinterleaved 32-bit float at the file's rate and
    // channel count; never nil for an open file.
    : file_(file), format_(withoutObjCExceptions([&] { return file.processingFormat; })) {}

AudioFormat AppleAudioFile::processingFormat() const {
    // sampleRate and channelCount: plain values of the format.
    return withoutObjCExceptions([&] {
        return AudioFormat{format_.sampleRate, format_.channelCount};
    });
}

std::int64_t AppleAudioFile::length() const {
    // length: the file's length in sample frames.
    return withoutObjCExceptions([&] { return static_cast<std::int64_t>(file_.length); });
}

std::int64_t AppleAudioFile::framePosition() const {
    // framePosition: where the next read starts.
    return withoutObjCExceptions([&] { return static_cast<std::int64_t>(file_.framePosition); });
}

bool AppleAudioFile::makeReadBuffer(std::uint32_t frameCapacity) {
    // initWithPCMFormat:frameCapacity: a buffer for that many frames of the format, or nil.
    buffer_ = withoutObjCExceptions([&] {
        return [[AVAudioPCMBuffer alloc] initWithPCMFormat:format_ frameCapacity:frameCapacity];
    });
    return buffer_ != nil;
}

PcmBufferView AppleAudioFile::readIntoBuffer() {
    if (!buffer_) throw toolError(kUnexpectedErrorCode, @"No read buffer was made for the file.");
    // readIntoBuffer:error: decodes up to the buffer's capacity from the read position, sets its
    // frameLength and advances framePosition by it; NO, with the error, on failure.
    // Raises for a buffer whose format is not the processing format.
    NSError* error = nil;
    const bool read = withoutObjCExceptions([&] {
        NSError* failure = nil;
        const BOOL done = [file_ readIntoBuffer:buffer_ error:&failure];
        error = failure;
        return static_cast<bool>(done);
    });
    if (!read) throw errorFrom(error);
    // floatChannelData: one plane per channel inside the buffer, nil when it holds no 32-bit
    // floats. Lent without a copy: valid until the next read or until the file goes.
    return withoutObjCExceptions([&] {
        return PcmBufferView{buffer_.floatChannelData, buffer_.frameLength, buffer_.frameCapacity};
    });
}

std::unique_ptr<AudioFile> AppleAudioFileReader::openForReading(const std::string& path) {
    // initForReading:error: the file opened at frame 0, or nil and the error. Closed when the
    // object goes.
    NSError* error = nil;
    NSURL* url = fileURLFor(path);
    AVAudioFile* file = withoutObjCExceptions([&] {
        NSError* failure = nil;
        AVAudioFile* opened = [[AVAudioFile alloc] initForReading:url error:&failure];
        error = failure;
        return opened;
    });
    if (!file) throw errorFrom(error);
    return std::make_unique<AppleAudioFile>(file);
}

}  // namespace sorvanel
