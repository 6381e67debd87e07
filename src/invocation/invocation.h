#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <asio/awaitable.hpp>

#include "lines/result.h"
#include "platform/runtime.h"
#include "runtime/awaitable.h"

namespace sorvanel {

// The stages of one invocation, in order; none is entered twice.
enum class Stage {
    readingArguments,  // the command line is read: signals keep their default effect
    accessCheck,       // from here on the request is valid and signals are answered
    querying,
    settingUp,
    capturing,  // the capture's start, until the platform confirms it
    recording,  // the requested duration
    stopping,   // from here on the requested duration has been captured
    finishing,
    measuring,
    ending,  // the last line waits for its reader: signals end the process again
};

// The one owner of how this process ends: the stage it is in, what an interruption signal
// (SIGINT, SIGTERM, SIGHUP) does in each, and the last line, the output's drain and the exit.
//
// A signal never ends the process from a handler; it ends the wait the main task is in, so the
// task itself decides, with everything it holds:
//   accessCheck .. capturing  the wait fails with the interrupted error;
//   recording                 the wait ends early, and the file is finished as usual;
//   stopping .. measuring     nothing: the recording is complete, or being finished after an
//                             interruption; a repeated SIGTERM or SIGHUP is one event sent
//                             twice. Only a second SIGINT (a person insisting) ends the wait
//                             with the interrupted error.
//   ending                    the watch is gone: a signal has its default effect, so a reader
//                             that never reads cannot hold the process. Only SIGTERM and SIGHUP
//                             are ignored once one of them came: their repeat would otherwise
//                             kill the process while it writes the line it decided.
class Invocation {
  public:
    // Ends the process with a status once the lines are out; tests replace it with one that
    // throws. It must not return.
    using ExitFunction = std::function<void(int status)>;

    explicit Invocation(PlatformRuntime& runtime);
    Invocation(PlatformRuntime& runtime, ExitFunction exit);
    ~Invocation();
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;

    // Enters a stage; the first stage after `readingArguments` installs the signal watch.
    void enter(Stage stage);

    // The first signal this invocation was interrupted by, once one was.
    std::optional<int> interruption() const { return interruption_; }

    // Waits for a platform completion as awaitCompletion does; a signal may end the wait first,
    // as the current stage says.
    template <class T>
    asio::awaitable<T> wait(std::function<void(Completion<T>)> start) {
        return awaitCompletion<T>([this, start = std::move(start)](Completion<T> done) {
            // A signal taken after the last wait had ended already fails this one at once.
            if (pendingFailure_) return done.fail(*pendingFailure_);
            wait_ = makeEnder(done);
            start(std::move(done));
        });
    }

    // The capture ended by itself: the recording wait, if it is the current one, ends early.
    void endRecordingWait() {
        if (stage_ == Stage::recording && wait_ && wait_->endEarly) wait_->endEarly();
    }

    // Waits for a task of the main executor's, which goes on alone if a signal ends the wait.
    asio::awaitable<void> waitFor(asio::awaitable<void> task);

    // Prints `line` and ends the process with `status` once it is out.
    [[noreturn]] void endWith(const ResultObject& line, int status);
    // Ends the process with `status`, its lines printed already.
    [[noreturn]] void end(int status);

  private:
    // How a signal ends the current wait: with an error, or early without one.
    struct WaitEnder {
        std::function<void(const Error&)> fail;
        std::function<void()> endEarly;
    };
    template <class T>
    static WaitEnder makeEnder(Completion<T> done) {
        WaitEnder ender{[done](const Error& error) { done.fail(error); }, nullptr};
        if constexpr (std::is_void_v<T>) ender.endEarly = [done] { done.succeed(); };
        return ender;
    }

    void interrupted(int signal);
    void failWait(const Error& error);

    PlatformRuntime& runtime_;
    ExitFunction exit_;
    Stage stage_ = Stage::readingArguments;
    std::unique_ptr<InterruptionWatch> watch_;
    std::optional<int> interruption_;
    bool sawSigint_ = false;
    bool sawTermOrHup_ = false;
    std::optional<WaitEnder> wait_;
    std::optional<Error> pendingFailure_;
};

// The error that a run ended by an interruption signal reports.
Error interruptedError(int signal);

}  // namespace sorvanel
