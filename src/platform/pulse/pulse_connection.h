#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <pulse/context.h>
#include <pulse/thread-mainloop.h>

#include "runtime/error.h"

namespace sorvanel {

// The domain of errors that come from the sound server or libpulse; the code is libpulse's.
inline constexpr const char* kPulseErrorDomain = "PulseAudio";

// An error that says what failed and why, in libpulse's words.
Error pulseError(const std::string& what, int code);

// One connection to the sound server on a threaded main loop of its own. Callbacks run on the
// loop's thread with the loop locked; any other thread takes `Lock` before touching the context.
class PulseConnection {
  public:
    PulseConnection();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects without starting a server, on the first call; later calls share that attempt.
    // `done` runs once, on the loop's thread or, once the outcome is known, on the caller's with
    // the lock held: with no error while the server has us, else with the reason it does not
    // (the server's or the socket's, or that the established connection was lost).
    void connect(std::function<void(std::optional<Error>)> done);

    pa_context* context() const { return context_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    bool inLoopThread() const { return pa_threaded_mainloop_in_thread(loop_) != 0; }
    bool isReady() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }
    // Why the server does not have us, once that is known: the connection failed or was lost.
    std::optional<Error> failure() const { return outcome_ ? *outcome_ : std::nullopt; }

    // Hears, on the loop's thread, that an established connection was lost. One listener per owner.
    void setLossListener(const void* owner, std::function<void(const Error&)> listener);
    void removeLossListener(const void* owner);

    // Locks the loop unless the caller is the loop's own thread (which holds it already).
    class Lock {
      public:
        explicit Lock(const PulseConnection& connection)
            : loop_(connection.inLoopThread() ? nullptr : connection.loop_) {
            if (loop_) pa_threaded_mainloop_lock(loop_);
        }
        ~Lock() {
            if (loop_) pa_threaded_mainloop_unlock(loop_);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

  private:
    static void onState(pa_context* context, void* self);
    void settle(std::optional<Error> outcome);

    pa_threaded_mainloop* loop_;
    pa_context* context_;
    bool connecting_ = false;
    bool established_ = false;
    std::optional<std::optional<Error>> outcome_;  // once known: none while connected
    std::vector<std::function<void(std::optional<Error>)>> waiting_;
    std::map<const void*, std::function<void(const Error&)>> lossListeners_;
};

}  // namespace sorvanel
