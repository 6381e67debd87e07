#include "platform/pulse/pulse_connection.h"

#include <thread>
#include <utility>

#include <pulse/error.h>
#include <pulse/proplist.h>

namespace sorvanel {

Error pulseError(const std::string& what, int code) {
    const char* reason = pa_strerror(code);
    return Error(kPulseErrorDomain, code, what + ": " + (reason ? reason : "Unknown error"));
}

PulseConnection::PulseConnection() : loop_(pa_threaded_mainloop_new()) {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "SorvanelAudio");
    context_ = pa_context_new_with_proplist(api(), "SorvanelAudio", properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(context_, &PulseConnection::onState, this);
    pa_threaded_mainloop_start(loop_);
}

PulseConnection::~PulseConnection() {
    pa_threaded_mainloop* loop = loop_;
    pa_context* context = context_;
    auto teardown = [loop, context] {
        pa_threaded_mainloop_lock(loop);
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    };
    if (!inLoopThread()) {
        teardown();
        return;
    }
    // The loop cannot stop itself from its own thread: detach the callbacks now and let another
    // thread end it once this callback has returned.
    pa_context_set_state_callback(context, nullptr, nullptr);
    std::thread(teardown).detach();
}

void PulseConnection::connect(std::function<void(std::optional<Error>)> done) {
    Lock lock(*this);
    if (outcome_) return done(*outcome_);
    waiting_.push_back(std::move(done));
    if (std::exchange(connecting_, true)) return;
    // The state callback may have settled it already.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && !outcome_)
        settle(pulseError("Cannot connect to the sound server", pa_context_errno(context_)));
}

void PulseConnection::settle(std::optional<Error> outcome) {
    outcome_ = outcome;
    // A waiter may connect again while it is told; it then gets the outcome at once.
    auto waiting = std::exchange(waiting_, {});
    for (auto& done : waiting) done(outcome);
}

void PulseConnection::setLossListener(const void* owner,
                                      std::function<void(const Error&)> listener) {
    Lock lock(*this);
    lossListeners_[owner] = std::move(listener);
}

void PulseConnection::removeLossListener(const void* owner) {
    Lock lock(*this);
    lossListeners_.erase(owner);
}

void PulseConnection::onState(pa_context* context, void* opaque) {
    auto* self = static_cast<PulseConnection*>(opaque);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            self->established_ = true;
            self->settle(std::nullopt);
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            const int code = pa_context_errno(context);
            if (!self->established_) {
                if (!self->outcome_)
                    self->settle(pulseError("Cannot connect to the sound server", code));
                break;
            }
            const Error error = pulseError("The connection to the sound server was lost", code);
            self->outcome_ = error;
            // A listener may remove itself while it is told.
            auto listeners = self->lossListeners_;
            for (auto& [owner, listener] : listeners) listener(error);
            break;
        }
        default:
            break;
    }
}

}  // namespace sorvanel
