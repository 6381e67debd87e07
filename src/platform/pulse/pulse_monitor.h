#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <pulse/context.h>
#include <pulse/stream.h>

#include "platform/pulse/audio_mixer.h"

namespace sorvanel {

// The monitor of one application stream (sink input): a recording of that stream alone, from
// the monitor source of the sink it plays on. It owns its pa_stream from creation to teardown:
// destroying it silences the callbacks, disconnects and releases the stream. Used on the
// connection's loop thread only.
class PulseMonitor {
  public:
    class Owner {
      public:
        virtual ~Owner() = default;
        virtual void monitorReadable(PulseMonitor& monitor) = 0;
        // The server ended the monitor: refused it (`failed`, with the context's error code) or
        // terminated it. The owner may destroy the monitor here.
        virtual void monitorEnded(PulseMonitor& monitor, bool failed, int code) = 0;
    };

    // Starts recording `input` from `monitorSource` in `format`, `fragmentFrames` at a time. Null,
    // with the server's error code in `code`, when the server refuses it at once.
    static std::unique_ptr<PulseMonitor> connect(pa_context* context, std::uint32_t input,
                                                 std::uint32_t sink,
                                                 const std::string& monitorSource,
                                                 const pa_sample_spec& format,
                                                 std::uint32_t fragmentFrames, Owner& owner,
                                                 int& code);
    ~PulseMonitor();
    PulseMonitor(const PulseMonitor&) = delete;
    PulseMonitor& operator=(const PulseMonitor&) = delete;

    std::uint32_t input() const { return input_; }
    std::uint32_t sink() const { return sink_; }

    // Hands every fragment the server holds to `take(data, frames)`, interleaved; `data` is null
    // for a stretch the server could not deliver.
    template <class Take>
    void read(Take&& take) {
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
            take(static_cast<const float*>(data), static_cast<std::int64_t>(bytes / frameBytes_));
            pa_stream_drop(stream_);
        }
    }

    // Asks the server for fragments of `frames` from now on. Without an answer: a server that
    // refuses keeps the fragments it had, which still come.
    void askForFragments(std::uint32_t frames);

    AudioMixer::Source source;  // its place on the timeline
    bool paused = false;        // its stream, as the server last told

  private:
    PulseMonitor(pa_stream* stream, std::uint32_t input, std::uint32_t sink, std::size_t frameBytes,
                 Owner& owner);

    pa_buffer_attr attributes(std::uint32_t fragmentFrames) const;
    static void onState(pa_stream* stream, void* self);
    static void onReadable(pa_stream* stream, std::size_t bytes, void* self);

    pa_stream* stream_;
    std::uint32_t input_;
    std::uint32_t sink_;
    std::size_t frameBytes_;
    Owner& owner_;
};

}  // namespace sorvanel
