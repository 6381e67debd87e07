#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>

#include "platform/capture.h"
#include "platform/pulse/audio_mixer.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_monitor.h"

namespace sorvanel {

// Records every playback stream of the selected clients through a monitor of its own and mixes
// them onto one clock-driven timeline (see AudioMixer), paced as CaptureTiming says. Everything
// below runs on the connection's loop thread or under its lock.
class PulseCaptureStream final : public CaptureStream, private PulseMonitor::Owner {
  public:
    PulseCaptureStream(std::shared_ptr<PulseConnection> connection, std::set<std::uint32_t> clients,
                       std::uint32_t sampleRate, std::uint32_t channels,
                       std::shared_ptr<StreamDelegate> delegate);
    ~PulseCaptureStream() override;

    void addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override;
    void startCapture(Completion<void> completion) override;
    void stopCapture(Completion<void> completion) override;

  private:
    enum class State { idle, starting, capturing, stopping, stopped, failed };

    // A monitor that the server refused for another reason than its stream's end or move: an
    // error unless the stream turns out to be gone or elsewhere.
    struct Refusal {
        std::uint32_t sink;
        Error error;
    };

    struct Output {
        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };

    // libpulse calls back through C, which nothing may unwind through: what a callback throws
    // (memory exhausted, say) fails the capture, or its start, with that error.
    template <class Body>
    void guard(Body body) noexcept {
        try {
            body();
        } catch (...) {
            try {
                fail(errorFrom(std::current_exception()));
            } catch (...) {
                // Nothing is left to tell it with; the connection's loss or the stop still ends it.
            }
        }
    }

    // Start, one step per server answer.
    static void onSubscribed(pa_context*, int success, void* self);
    static void onSinkListed(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void onInputListed(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void onStartAnswered(pa_context*, const pa_server_info*, void* self);

    // While capturing.
    static void onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);
    static void onInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);

    void monitorReadable(PulseMonitor& monitor) override;
    void monitorEnded(PulseMonitor& monitor, bool failed, int code) override;

    // Whether the server's streams are followed: from the start's request until the stop or a
    // failure.
    bool following() const { return state_ == State::starting || state_ == State::capturing; }
    void consider(const pa_sink_input_info& info);
    void attach(std::uint32_t input, std::uint32_t sink, const std::string& monitorSource,
                bool paused);
    void detach(std::uint32_t input);
    void read(PulseMonitor& monitor);
    // Places everything the monitors delivered, held frames included, and hands the timeline up
    // to `frame` to the outputs; a monitor that was behind leaves silence.
    void endTimelineAt(std::int64_t frame);
    void deliverUpTo(std::int64_t frame);
    std::int64_t nowFrame() const;
    // The stop: stopCapture ends the timeline at its moment; checkStop, at each fragment and at
    // the deadline, finishes it once no monitor owes frames before then (CaptureTiming's rule);
    // finishStop hands out the rest and completes it.
    void checkStop(bool deadline);
    void finishStop();
    void failStart(const Error& error);
    // The capture cannot go on: the start fails, or a running capture stops with the error.
    void fail(const Error& error);
    void track(pa_operation* operation);
    void tearDown();

    std::shared_ptr<PulseConnection> connection_;
    std::set<std::uint32_t> clients_;
    std::shared_ptr<StreamDelegate> delegate_;
    std::vector<Output> outputs_;

    State state_ = State::idle;
    std::optional<Completion<void>> startCompletion_;
    std::optional<Completion<void>> stopCompletion_;
    std::int64_t stopFrame_ = 0;
    std::map<std::uint32_t, std::string> monitorSources_;  // sink index -> monitor source
    std::map<std::uint32_t, std::vector<std::uint32_t>> waitingForSink_;  // sink index -> inputs
    std::map<std::uint32_t, std::unique_ptr<PulseMonitor>> monitors_;     // by sink input index
    std::map<std::uint32_t, Refusal> refusals_;                           // by sink input index
    std::vector<pa_operation*> operations_;
    pa_time_event* tick_ = nullptr;
    pa_usec_t tickDue_ = 0;
    bool tickDeferred_ = false;

    AudioMixer mixer_;
    std::optional<std::chrono::steady_clock::time_point> origin_;  // set by the first monitor
};

}  // namespace sorvanel
