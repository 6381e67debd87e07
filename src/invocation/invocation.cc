#include "invocation/invocation.h"

#include <csignal>

#include <asio/co_spawn.hpp>
#include <asio/this_coro.hpp>

#include "lines/emit.h"
#include "runtime/process.h"

namespace sorvanel {

Error interruptedError(int signal) {
    const char* name = signal == SIGINT    ? "SIGINT"
                       : signal == SIGTERM ? "SIGTERM"
                       : signal == SIGHUP  ? "SIGHUP"
                                           : nullptr;
    return Error(kErrorDomain, kInterruptedErrorCode,
                 "The recording was interrupted by " +
                     (name ? std::string(name) : "signal " + std::to_string(signal)) + ".");
}

Invocation::Invocation(PlatformRuntime& runtime)
    : Invocation(runtime, [](int status) { exitProcess(status); }) {}

Invocation::Invocation(PlatformRuntime& runtime, ExitFunction exit)
    : runtime_(runtime), exit_(std::move(exit)) {}

Invocation::~Invocation() = default;

void Invocation::enter(Stage stage) {
    stage_ = stage;
    // The file of an interrupted capture is finished: its stop and finish must not fail at once.
    if (stage == Stage::stopping) pendingFailure_.reset();
    if (stage == Stage::ending) {
        watch_.reset();  // gives each signal its default action back
        if (sawTermOrHup_) {
            std::signal(SIGTERM, SIG_IGN);
            std::signal(SIGHUP, SIG_IGN);
        }
        return;
    }
    if (!watch_ && stage != Stage::readingArguments)
        watch_ = runtime_.watchInterruptions([this](int signal) { interrupted(signal); });
}

void Invocation::interrupted(int signal) {
    const bool insists = signal == SIGINT && sawSigint_;
    if (signal == SIGINT)
        sawSigint_ = true;
    else
        sawTermOrHup_ = true;
    switch (stage_) {
        case Stage::readingArguments:
        case Stage::ending:
            return;
        case Stage::accessCheck:
        case Stage::querying:
        case Stage::settingUp:
        case Stage::capturing:
            if (!interruption_) interruption_ = signal;
            return failWait(interruptedError(*interruption_));
        case Stage::recording:
            if (!interruption_) interruption_ = signal;
            if (wait_ && wait_->endEarly) wait_->endEarly();
            return;
        case Stage::stopping:
        case Stage::finishing:
        case Stage::measuring:
            if (!insists) return;
            if (!interruption_) interruption_ = signal;
            return failWait(interruptedError(*interruption_));
    }
}

void Invocation::failWait(const Error& error) {
    pendingFailure_ = error;
    if (wait_) wait_->fail(error);
}

asio::awaitable<void> Invocation::waitFor(asio::awaitable<void> task) {
    const auto executor = co_await asio::this_coro::executor;
    co_await wait<void>([&task, executor](Completion<void> done) {
        asio::co_spawn(executor, std::move(task), [done](std::exception_ptr error) {
            if (error)
                done.failWith(error);
            else
                done.succeed();
        });
    });
}

void Invocation::endWith(const ResultObject& line, int status) {
    emit(line);
    end(status);
}

void Invocation::end(int status) {
    enter(Stage::ending);
    exit_(status);
    std::abort();  // an exit function that returned
}

}  // namespace sorvanel
