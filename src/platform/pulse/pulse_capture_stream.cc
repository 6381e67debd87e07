#include "platform/pulse/pulse_capture_stream.h"

#include <algorithm>

#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>

namespace sorvanel {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

Error stateError(const std::string& description) {
    return Error(kPulseErrorDomain, PA_ERR_BADSTATE, description);
}

Error notRunning() {
    return stateError("The capture is not running.");
}

}  // namespace

PulseCaptureStream::PulseCaptureStream(std::shared_ptr<PulseConnection> connection,
                                       std::set<std::uint32_t> clients, std::uint32_t sampleRate,
                                       std::uint32_t channels,
                                       std::shared_ptr<StreamDelegate> delegate)
    : connection_(std::move(connection)),
      clients_(std::move(clients)),
      delegate_(std::move(delegate)),
      mixer_(sampleRate, channels, CaptureTiming::kRingSeconds * sampleRate) {
    if (connection_)
        connection_->setLossListener(this, [this](const Error& error) { fail(error); });
}

PulseCaptureStream::~PulseCaptureStream() {
    if (!connection_) return;
    connection_->removeLossListener(this);
    PulseConnection::Lock lock(*connection_);
    if (state_ == State::starting)
        failStart(stateError("The capture was abandoned before it started."));
    if (state_ == State::stopping) finishStop();
    tearDown();
}

void PulseCaptureStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<SerialQueue> queue) {
    if (!output || !queue)
        throw Error(kErrorDomain, kInvalidArgumentErrorCode,
                    "A stream output needs an output and a queue.");
    // Only audio exists here; outputs of other types are accepted and never called.
    if (type != StreamOutputType::audio) return;
    std::optional<PulseConnection::Lock> lock;
    if (connection_) lock.emplace(*connection_);
    outputs_.push_back({std::move(output), std::move(queue)});
}

void PulseCaptureStream::startCapture(Completion<void> completion) {
    if (!connection_)
        return completion.fail(stateError("Cannot capture: the sound server was never asked."));
    PulseConnection::Lock lock(*connection_);
    if (state_ != State::idle)
        return completion.fail(stateError("The capture was already started."));
    pa_context* context = connection_->context();
    if (!connection_->isReady()) {
        state_ = State::failed;
        return completion.fail(connection_->failure().value_or(
            pulseError("Cannot connect to the sound server", pa_context_errno(context))));
    }
    state_ = State::starting;
    startCompletion_ = completion;
    // Follow new streams first, so that none opened while the list is read goes unseen.
    pa_context_set_subscribe_callback(context, &PulseCaptureStream::onEvent, this);
    track(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT,
                               &PulseCaptureStream::onSubscribed, this));
}

void PulseCaptureStream::stopCapture(Completion<void> completion) {
    if (!connection_) return completion.fail(notRunning());
    PulseConnection::Lock lock(*connection_);
    if (state_ == State::starting) {
        failStart(stateError("The capture was stopped before it started."));
        state_ = State::stopped;
        return completion.succeed();
    }
    if (state_ == State::stopping) return completion.fail(stateError("The capture is stopping."));
    if (state_ == State::capturing) {
        // The timeline ends now; what the monitors recorded up to now is still on its way. The
        // loop finishes the stop once it is in, or once the patience has passed for all of it.
        stopFrame_ = nowFrame();
        state_ = State::stopping;
        stopCompletion_ = std::move(completion);
        // The last fragments end past the stop; smaller ones bring its audio in sooner.
        for (auto& [input, monitor] : monitors_)
            monitor->askForFragments(CaptureTiming::stopFragmentFrames(mixer_.sampleRate()));
        pa_context_rttime_restart(
            connection_->context(), tick_,
            pa_rtclock_now() + duration_cast<microseconds>(CaptureTiming::kPatience).count());
        return checkStop(false);
    }
    // Never started, stopped already, or stopped by a failure: as ScreenCaptureKit's stream, one
    // that is not running cannot be stopped, so no caller comes to rely on it here.
    completion.fail(notRunning());
}

void PulseCaptureStream::checkStop(bool deadline) {
    if (state_ != State::stopping) return;
    if (!deadline) {
        const std::int64_t now = nowFrame();
        const std::int64_t patience =
            CaptureTiming::frames(CaptureTiming::kPatience, mixer_.sampleRate());
        for (auto& [input, monitor] : monitors_) {
            read(*monitor);
            if (!monitor->paused && mixer_.owes(monitor->source, stopFrame_, now, patience)) return;
        }
    }
    finishStop();
}

void PulseCaptureStream::finishStop() {
    endTimelineAt(stopFrame_);
    tearDown();
    state_ = State::stopped;
    if (auto completion = std::exchange(stopCompletion_, std::nullopt)) completion->succeed();
}

// --- Start: subscription, sinks, streams, then one more answer of the server. ---

void PulseCaptureStream::onSubscribed(pa_context* context, int success, void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (self->state_ != State::starting) return;
        if (!success)
            return self->failStart(
                pulseError("Cannot follow the sound server's streams", pa_context_errno(context)));
        self->track(
            pa_context_get_sink_info_list(context, &PulseCaptureStream::onSinkListed, self));
    });
}

void PulseCaptureStream::onSinkListed(pa_context* context, const pa_sink_info* info, int eol,
                                      void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (self->state_ != State::starting) return;
        if (eol < 0)
            return self->failStart(pulseError("Cannot list the sound server's playback devices",
                                              pa_context_errno(context)));
        if (eol > 0) {
            self->track(pa_context_get_sink_input_info_list(
                context, &PulseCaptureStream::onInputListed, self));
            return;
        }
        self->monitorSources_[info->index] = info->monitor_source_name;
    });
}

void PulseCaptureStream::onInputListed(pa_context* context, const pa_sink_input_info* info, int eol,
                                       void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (self->state_ != State::starting) return;
        if (eol < 0)
            return self->failStart(
                pulseError("Cannot list the sound server's streams", pa_context_errno(context)));
        if (eol > 0) {
            // The server answers in order: once it answers this, it has answered the monitors'
            // creation too. (A server that holds a paused stream's monitor back still answers this
            // at once.)
            self->track(
                pa_context_get_server_info(context, &PulseCaptureStream::onStartAnswered, self));
            return;
        }
        self->consider(*info);
    });
}

void PulseCaptureStream::onStartAnswered(pa_context* context, const pa_server_info* info,
                                         void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (self->state_ != State::starting) return;
        if (!info)
            return self->failStart(
                pulseError("Cannot ask the sound server", pa_context_errno(context)));
        self->state_ = State::capturing;
        self->tickDue_ =
            pa_rtclock_now() + duration_cast<microseconds>(CaptureTiming::kTick).count();
        self->tick_ = pa_context_rttime_new(self->connection_->context(), self->tickDue_,
                                            &PulseCaptureStream::onTick, self);
        auto completion = std::move(*self->startCompletion_);
        self->startCompletion_.reset();
        completion.succeed();
    });
}

// --- Capturing. ---

void PulseCaptureStream::onEvent(pa_context* context, pa_subscription_event_type_t type,
                                 std::uint32_t index, void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (!self->following()) return;
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
            return;
        auto found = self->monitors_.find(index);
        if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
            if (found != self->monitors_.end()) {
                self->read(*found->second);
                self->detach(index);
            }
            return;
        }
        // Pausing and resuming a stream come as changes: what its monitor then misses is a gap.
        if (found != self->monitors_.end())
            self->mixer_.changed(found->second->source, self->nowFrame());
        self->track(
            pa_context_get_sink_input_info(context, index, &PulseCaptureStream::onInputInfo, self));
    });
}

void PulseCaptureStream::onInputInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                                     void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (!self->following()) return;
        if (eol > 0) return;
        if (eol < 0) {
            // A stream that is gone has nothing more to record; any other answer leaves it unheard.
            const int code = pa_context_errno(context);
            if (code != PA_ERR_NOENTITY)
                return self->fail(pulseError("Cannot follow the application's stream", code));
            return;
        }
        self->consider(*info);
    });
}

void PulseCaptureStream::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                    void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (eol > 0) return;
        if (eol < 0) {
            // A sink that is gone moves its streams, which then come as changes.
            const int code = pa_context_errno(context);
            if (code != PA_ERR_NOENTITY && self->following())
                self->fail(pulseError("Cannot find the application's playback device", code));
            return;
        }
        self->monitorSources_[info->index] = info->monitor_source_name;
        auto waiting = self->waitingForSink_.extract(info->index);
        if (waiting.empty()) return;
        for (std::uint32_t input : waiting.mapped()) {
            if (!self->following()) return;
            if (!self->monitors_.contains(input))
                self->attach(input, info->index, info->monitor_source_name, false);
        }
    });
}

void PulseCaptureStream::consider(const pa_sink_input_info& info) {
    if (!clients_.contains(info.client)) return;
    if (auto found = monitors_.find(info.index); found != monitors_.end()) {
        found->second->paused = info.corked;
        return;
    }
    // A stream not linked to a sink (yet, or amid a move) has no monitor; its link comes as a
    // change.
    if (info.sink == PA_INVALID_INDEX) return;
    if (auto refused = refusals_.extract(info.index)) {
        // Refused again where it plays: it cannot be recorded. Elsewhere it moved meanwhile.
        if (refused.mapped().sink == info.sink) return fail(refused.mapped().error);
    }
    auto source = monitorSources_.find(info.sink);
    if (source != monitorSources_.end())
        return attach(info.index, info.sink, source->second, info.corked);
    waitingForSink_[info.sink].push_back(info.index);
    track(pa_context_get_sink_info_by_index(connection_->context(), info.sink,
                                            &PulseCaptureStream::onSinkInfo, this));
}

void PulseCaptureStream::attach(std::uint32_t input, std::uint32_t sink,
                                const std::string& monitorSource, bool paused) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, mixer_.sampleRate(),
                                static_cast<std::uint8_t>(mixer_.channels())};
    int code = 0;
    auto monitor =
        PulseMonitor::connect(connection_->context(), input, sink, monitorSource, format,
                              CaptureTiming::fragmentFrames(mixer_.sampleRate()), *this, code);
    if (!monitor) return fail(pulseError("Cannot record the application's stream", code));
    monitor->paused = paused;
    if (!origin_) origin_ = std::chrono::steady_clock::now();
    monitor->source.firstDue = nowFrame();
    monitors_[input] = std::move(monitor);
}

void PulseCaptureStream::detach(std::uint32_t input) {
    auto found = monitors_.find(input);
    if (found == monitors_.end()) return;
    // What it held back is placed now; nothing more comes.
    mixer_.settle(found->second->source, nowFrame(), true);
    monitors_.erase(found);
}

void PulseCaptureStream::monitorEnded(PulseMonitor& monitor, bool failed, int code) {
    guard([&] {
        const std::uint32_t input = monitor.input();
        const std::uint32_t sink = monitor.sink();
        pa_context* context = connection_->context();
        detach(input);  // ends `monitor`
        if (!following() || pa_context_get_state(context) != PA_CONTEXT_READY)
            return;  // a lost connection is told by the connection
        // The server ends a monitor when its stream ends or moves. A stream that still exists gets
        // a new monitor on the sink it plays on now; one refused for another reason must have
        // moved.
        if (failed && code != PA_ERR_KILLED && code != PA_ERR_NOENTITY)
            refusals_.insert_or_assign(
                input, Refusal{sink, pulseError("Cannot record the application's stream", code)});
        track(
            pa_context_get_sink_input_info(context, input, &PulseCaptureStream::onInputInfo, this));
    });
}

void PulseCaptureStream::monitorReadable(PulseMonitor& monitor) {
    guard([&] {
        read(monitor);
        checkStop(false);  // ends `monitor` when the stop is done
    });
}

void PulseCaptureStream::read(PulseMonitor& monitor) {
    const std::int64_t now = nowFrame();
    monitor.read([&](const float* data, std::int64_t frames) {
        if (data)
            mixer_.add(monitor.source, data, frames, now);
        else
            mixer_.skip(monitor.source, frames);
    });
}

void PulseCaptureStream::onTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                void* opaque) {
    auto* self = static_cast<PulseCaptureStream*>(opaque);
    self->guard([&] {
        if (self->state_ == State::stopping) return self->checkStop(true);
        // Late by more than a tick, the loop was starved (or the tool stopped): cut once the socket
        // is read.
        const pa_usec_t tickNow = pa_rtclock_now();
        const auto tick =
            static_cast<pa_usec_t>(duration_cast<microseconds>(CaptureTiming::kTick).count());
        if (!self->tickDeferred_ && tickNow > self->tickDue_ + tick) {
            self->tickDeferred_ = true;
            self->tickDue_ =
                tickNow + duration_cast<microseconds>(CaptureTiming::kStarvedTickDelay).count();
            pa_context_rttime_restart(self->connection_->context(), event, self->tickDue_);
            return;
        }
        self->tickDeferred_ = false;
        const std::uint32_t rate = self->mixer_.sampleRate();
        const std::int64_t now = self->nowFrame();
        std::int64_t cut = now - CaptureTiming::frames(CaptureTiming::kCutLag, rate);
        const std::int64_t patience = CaptureTiming::frames(CaptureTiming::kPatience, rate);
        for (auto& [input, monitor] : self->monitors_) {
            self->read(*monitor);
            self->mixer_.settle(monitor->source, now, false);
            cut = std::min(cut, self->mixer_.cutLimit(monitor->source, now, patience));
        }
        self->deliverUpTo(cut);
        self->tickDue_ = pa_rtclock_now() + tick;
        pa_context_rttime_restart(self->connection_->context(), event, self->tickDue_);
    });
}

void PulseCaptureStream::endTimelineAt(std::int64_t frame) {
    for (auto& [input, monitor] : monitors_) {
        read(*monitor);
        mixer_.settle(monitor->source, frame, true);
    }
    deliverUpTo(frame);
}

void PulseCaptureStream::deliverUpTo(std::int64_t frame) {
    if (!origin_) return;  // no stream of the selected clients yet: no buffer at all
    auto buffers = std::make_shared<const std::vector<std::shared_ptr<PcmSampleBuffer>>>(
        mixer_.take(frame, mixer_.sampleRate() / 50));
    if (buffers->empty()) return;
    // One job per cut: the queue's thread wakes once for all of its buffers.
    for (const Output& output : outputs_) {
        output.queue->post([sink = output.output, buffers] {
            for (const auto& buffer : *buffers)
                sink->didOutputSampleBuffer(*buffer, StreamOutputType::audio);
        });
    }
}

std::int64_t PulseCaptureStream::nowFrame() const {
    if (!origin_) return 0;
    const auto elapsed =
        duration_cast<nanoseconds>(std::chrono::steady_clock::now() - *origin_).count();
    return elapsed * static_cast<std::int64_t>(mixer_.sampleRate()) / 1'000'000'000;
}

void PulseCaptureStream::failStart(const Error& error) {
    tearDown();
    state_ = State::failed;
    if (auto completion = std::exchange(startCompletion_, std::nullopt)) completion->fail(error);
}

void PulseCaptureStream::fail(const Error& error) {
    if (state_ == State::starting) return failStart(error);
    if (state_ == State::stopping) return finishStop();  // what came in is kept; the stop was asked
    if (state_ != State::capturing) return;
    // What came in up to now is the recording's and reaches the outputs before the error does.
    endTimelineAt(nowFrame());
    tearDown();
    state_ = State::failed;
    if (delegate_) delegate_->didStopWithError(error);
}

void PulseCaptureStream::track(pa_operation* operation) {
    std::erase_if(operations_, [](pa_operation* pending) {
        if (pa_operation_get_state(pending) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(pending);
        return true;
    });
    if (operation) {
        operations_.push_back(operation);
    } else if (connection_->isReady()) {  // else the connection tells its loss
        fail(pulseError("Cannot ask the sound server", pa_context_errno(connection_->context())));
    }
}

void PulseCaptureStream::tearDown() {
    if (tick_) {
        connection_->api()->time_free(tick_);
        tick_ = nullptr;
    }
    while (!monitors_.empty()) detach(monitors_.begin()->first);
    for (pa_operation* operation : std::exchange(operations_, {})) {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
}

}  // namespace sorvanel
