#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "platform/asset_writer.h"
#include "platform/capture.h"
#include "platform/runtime.h"
#include "runtime/error.h"

namespace sorvanel {

// Turns the captured audio of one recording into the output file. The stream hands it sample
// buffers on `queue` and tells it when it stopped with an error; `finish` decides the outcome.
class AudioSink final : public StreamOutput,
                        public StreamDelegate,
                        public std::enable_shared_from_this<AudioSink> {
    struct Token {};

  public:
    // The only way to make one: shared, since the stop callback reaches the sink on `queue`
    // through a weak reference. Throws the writer factory's error, unchanged, when no writer can
    // be made for `path`.
    static std::shared_ptr<AudioSink> make(PlatformRuntime& runtime, AssetWriterFactory& writers,
                                           std::string path);

    AudioSink(Token, PlatformRuntime& runtime, AssetWriterFactory& writers, std::string path);
    ~AudioSink() override;
    AudioSink(const AudioSink&) = delete;
    AudioSink& operator=(const AudioSink&) = delete;

    // Runs on `queue`. Never waits, keeps no buffer and never throws: what goes wrong becomes
    // `failure`.
    void didOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) override;

    // Runs on a thread of the capture service.
    void didStopWithError(const Error& error) override;

    // Once, after the capture has stopped: drains `queue`, after which the sink takes nothing
    // more from the stream. A file that writing started is then finished, so that it plays,
    // whatever else went wrong, unless the writer itself failed: a failed writer cannot be
    // finished. Fails with the recorded failure, else with the failed writer's error, else with
    // the no-buffers error, else with the writer's error after finishing.
    asio::awaitable<void> finish();

    // After the capture's start was interrupted: true when no buffer has started the writer,
    // and then none ever will, so no file is made; false when there is a file to finish.
    asio::awaitable<bool> closeUnlessWriting();

    // Called on the capture service's thread whenever the stream stops with an error, after the
    // failure is recorded. Set before the sink is handed to a stream.
    void setStopListener(std::function<void()> listener) { stopListener_ = std::move(listener); }

    // The serial queue on which the stream delivers the buffers; set once by the constructor.
    const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  private:
    void handle(const SampleBuffer& buffer);
    asio::awaitable<void> finishWriting();

    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> input;
    bool started = false;          // written only on `queue`
    bool writerFailed = false;     // written only on `queue`: a start or append said no
    bool closed = false;           // written only on `queue`: `finish` drained it, or an
                                   // interrupted start left no file; nothing more is taken
    std::optional<Error> failure;  // written only on `queue`, the stop callback's write included
    std::shared_ptr<SerialQueue> queue_;
    std::function<void()> stopListener_;
};

// The error with which `finish` fails when no audio buffer ever started the writer.
Error noAudioBuffersError();

}  // namespace sorvanel
