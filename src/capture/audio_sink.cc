#include "capture/audio_sink.h"

#include <utility>

#include "runtime/awaitable.h"

namespace sorvanel {
namespace {

constexpr const char* kQueueLabel = "com.sorvanel.audio.capture";

AudioOutputSettings outputSettings() {
    AudioOutputSettings settings;
    settings.formatID = kAudioFormatMPEG4AAC;
    settings.sampleRate = 48000;
    settings.numberOfChannels = 2;
    settings.encoderBitRate = 192000;
    return settings;
}

}  // namespace

Error noAudioBuffersError() {
    return Error(kErrorDomain, kNoAudioBuffersErrorCode, "Ableton supplied no audio buffers.");
}

std::shared_ptr<AudioSink> AudioSink::make(PlatformRuntime& runtime, AssetWriterFactory& writers,
                                           std::string path) {
    return std::make_shared<AudioSink>(Token{}, runtime, writers, std::move(path));
}

AudioSink::AudioSink(Token, PlatformRuntime& runtime, AssetWriterFactory& writers,
                     std::string path) {
    // The queue exists before the writer; a failed creation releases it again with the sink.
    auto serial = runtime.makeSerialQueue(kQueueLabel);
    writer = writers.makeWriter(path, FileType::appleM4A);
    input = writers.makeInput(MediaType::audio, outputSettings());
    input->setExpectsMediaDataInRealTime(true);
    queue_ = std::move(serial);
    writer->addInput(input);
}

AudioSink::~AudioSink() {
    // Releases in the order writer, input, failure, queue; the writer is neither finished nor
    // cancelled.
    writer.reset();
    input.reset();
    failure.reset();
    queue_.reset();
}

void AudioSink::didOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) {
    // The stream may deliver after its stop completed: the outcome is decided by then.
    if (closed || type != StreamOutputType::audio) return;
    // A writer that throws (memory exhausted, say) must not lose audio silently, nor unwind into
    // the platform's queue: the run learns of it from `finish`.
    try {
        handle(buffer);
    } catch (...) {
        failure = errorFrom(std::current_exception());
    }
}

void AudioSink::handle(const SampleBuffer& buffer) {
    if (!buffer.isValid()) return;
    if (!buffer.dataIsReady()) return;
    // A writer that said no has failed for good: AVAssetWriter raises on any later start or
    // append, and its own error would be lost behind the raise.
    if (writerFailed) return;
    if (!started) {
        if (!writer->startWriting()) {
            writerFailed = true;
            failure = writer->error();
            return;
        }
        // The session starts here even when the input then drops this very buffer.
        writer->startSessionAtSourceTime(buffer.presentationTimeStamp());
        started = true;
    }
    if (!input->isReadyForMoreMediaData()) return;
    if (input->appendSampleBuffer(buffer)) return;
    writerFailed = true;
    failure = writer->error();
}

void AudioSink::didStopWithError(const Error& error) {
    // Written on the queue, so it is ordered with the sample callback's writes (the later wins)
    // and seen by `finish` after its drain. A sink already released needs no failure.
    queue_->post([weak = weak_from_this(), error] {
        if (auto self = weak.lock(); self && !self->closed) self->failure = error;
    });
    if (stopListener_) stopListener_();
}

asio::awaitable<bool> AudioSink::closeUnlessWriting() {
    co_return co_await awaitCompletion<bool>([this](Completion<bool> done) {
        queue_->post([self = shared_from_this(), done] {
            if (!self->started) self->closed = true;
            done.succeed(self->closed);
        });
    });
}

asio::awaitable<void> AudioSink::finish() {
    // Closed on the queue, so that what the stream hands it later touches neither the writer
    // nor `failure` while they are finished and read here.
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->closed = true;
    });
    co_await queue_->drain();
    // A writer that failed, whether a call said so or it failed on its own while the input just
    // stopped being ready, raises when marked or finished.
    const std::optional<Error> writerError = started ? writer->error() : std::nullopt;
    if (writerFailed || writerError) {
        if (failure) throw *failure;
        if (writerError) throw *writerError;
        if (!started) throw noAudioBuffersError();
        throw Error(kErrorDomain, kUnexpectedErrorCode, "The writer failed without an error.");
    }
    if (failure) {
        // What was received is kept playable; the recorded failure still decides the outcome.
        if (started) co_await finishWriting();
        throw *failure;
    }
    if (!started) throw noAudioBuffersError();
    co_await finishWriting();
    if (auto error = writer->error()) throw *error;
}

asio::awaitable<void> AudioSink::finishWriting() {
    input->markAsFinished();
    co_await awaitCompletion<void>(
        [this](Completion<void> done) { writer->finishWriting([done] { done.succeed(); }); });
}

}  // namespace sorvanel
