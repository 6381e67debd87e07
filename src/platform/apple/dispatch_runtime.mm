#include "platform/apple/dispatch_runtime.h"

#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include <csignal>
#include <exception>
#include <map>
#include <mutex>
#include <vector>

#include "platform/apple/foundation_bridge.h"
#include "runtime/awaitable.h"
#include "runtime/process.h"

namespace sorvanel {
namespace {

// A job that escapes everything: the main task's steps are caught by Asio's coroutines, the
// serial queue's by the queue, so nothing should reach here. Unwinding into libdispatch would
// abort, and the main run loop never gives the main thread back to report it, so the process
// ends with the run's failure status.
[[noreturn]] void endAfterEscapedJob() {
    exitProcess(1);
}

// The function that libdispatch calls with a job's context, on the job's queue.
void runJob(void* context) {
    std::unique_ptr<DispatchJob> job(static_cast<DispatchJob*>(context));
    // Objects that the frameworks autorelease during the job go with it.
    @autoreleasepool {
        try {
            job->run();
        } catch (...) {
            endAfterEscapedJob();
        }
    }
}

// Calls `function` on `queue`'s thread; the function's lifetime is the job's.
class FunctionJob final : public DispatchJob {
  public:
    explicit FunctionJob(std::function<void()> function) : function_(std::move(function)) {}
    void run() override { function_(); }

  private:
    std::function<void()> function_;
};

// The key under which a serial queue finds its own state (dispatch_queue_set_specific).
char queueKey;

}  // namespace

void submitToQueue(dispatch_queue_t queue, std::unique_ptr<DispatchJob> job) {
    // dispatch_async_f: returns at once; `runJob` runs later on `queue`, once, with the context.
    dispatch_async_f(queue, job.release(), &runJob);
}

// ---- the serial queue ----

struct DispatchSerialQueue::State {
    // The first job that threw, until a drain reports it. Read and written only on the queue.
    std::exception_ptr failure;
};

// A job of the core's: one that throws is kept for the next drain, and the queue goes on.
class DispatchSerialQueue::Job final : public DispatchJob {
  public:
    Job(std::shared_ptr<State> state, std::function<void()> job)
        : state_(std::move(state)), job_(std::move(job)) {}

    void run() override {
        try {
            job_();
        } catch (...) {
            if (!state_->failure) state_->failure = std::current_exception();
        }
    }

  private:
    std::shared_ptr<State> state_;
    std::function<void()> job_;
};

void DispatchSerialQueue::releaseHeldState(void* held) {
    delete static_cast<std::shared_ptr<State>*>(held);
}

DispatchSerialQueue::DispatchSerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    // dispatch_queue_create: a new serial queue, never NULL. Attributes DISPATCH_QUEUE_SERIAL
    // (NULL): no QoS class, autorelease frequency inherited, the default target queue. The label
    // is copied. ARC releases the queue with the last reference, ScreenCaptureKit's included.
    dispatch_queue_t queue = dispatch_queue_create(label_.c_str(), DISPATCH_QUEUE_SERIAL);
    // dispatch_queue_set_specific: code running on the queue finds this value through
    // dispatch_get_specific. The queue owns a reference to the state and drops it through
    // releaseHeldState when the queue goes, so the pointer never dangles.
    dispatch_queue_set_specific(queue, &queueKey, new std::shared_ptr<State>(state_),
                                &releaseHeldState);
    native_ = std::make_unique<NativeQueue>(queue);
}

void DispatchSerialQueue::post(std::function<void()> job) {
    submitToQueue(native_->dispatchQueue(), std::make_unique<Job>(state_, std::move(job)));
}

asio::awaitable<void> DispatchSerialQueue::drain() {
    // A serial queue runs this job after every job and every delivery submitted before it.
    co_await awaitCompletion<void>([this](Completion<void> done) {
        post([state = state_, done] {
            if (auto failure = std::exchange(state->failure, nullptr))
                done.failWith(std::move(failure));
            else
                done.succeed();
        });
    });
}

bool DispatchSerialQueue::isCurrent() const {
    // dispatch_get_specific: the value of the queue that runs the caller, or NULL off every queue.
    const auto* held = static_cast<std::shared_ptr<State>*>(dispatch_get_specific(&queueKey));
    return held && held->get() == state_.get();
}

// ---- the runtime ----

asio::any_io_executor DispatchRuntime::mainExecutor() {
    // dispatch_get_main_queue: the queue of the main thread; never NULL, never released.
    return DispatchExecutor(dispatch_get_main_queue(), context_);
}

std::exception_ptr DispatchRuntime::serveMainExecutor() {
    // CFRunLoopRun: the main thread runs the main run loop, which drains the main queue as well,
    // so both are served on the real main thread. Not dispatch_main(): it ends the main thread
    // with pthread_exit, after which worker threads drain the main queue and nothing that a
    // framework delivers through the main run loop ever arrives. A command-line tool whose main
    // thread serves nothing is known to hang in ScreenCaptureKit's content query. The main run
    // loop counts the main queue as a source, so it is never empty and returns only when stopped;
    // nothing stops it, and should anything, it runs again.
    for (;;) CFRunLoopRun();
}

void DispatchRuntime::scheduleAfter(std::chrono::nanoseconds duration, std::function<void()> fire) {
    // dispatch_time: `duration` from now, in nanoseconds, on the clock that dispatch_after keeps.
    const dispatch_time_t when = dispatch_time(DISPATCH_TIME_NOW, duration.count());
    // dispatch_after_f: returns at once; runs the job once on the main queue after `when`.
    auto job = std::make_unique<FunctionJob>(std::move(fire));
    dispatch_after_f(when, dispatch_get_main_queue(), job.release(), &runJob);
}

std::shared_ptr<SerialQueue> DispatchRuntime::makeSerialQueue(const std::string& label) {
    return std::make_shared<DispatchSerialQueue>(label);
}

// ---- interruption signals ----

namespace {

constexpr int kInterruptionSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Watches may overlap (a later one is made before an earlier one goes): a signal keeps being
// ignored until the last watch of it goes, and only then gets its default action back.
class IgnoredSignals {
  public:
    void hold(int number) {
        std::lock_guard lock(mutex_);
        if (holders_[number]++ == 0) std::signal(number, SIG_IGN);
    }
    void release(int number) {
        std::lock_guard lock(mutex_);
        if (--holders_[number] == 0) std::signal(number, SIG_DFL);
    }

  private:
    std::mutex mutex_;
    std::map<int, int> holders_;
};

IgnoredSignals& ignoredSignals() {
    static IgnoredSignals signals;
    return signals;
}

// Dispatch signal sources on the main queue. A source sees the signal even while it is ignored,
// and it must be: the default action would end the process first.
class DispatchInterruptionWatch final : public InterruptionWatch {
  public:
    explicit DispatchInterruptionWatch(std::function<void(int)> interrupted);
    ~DispatchInterruptionWatch() override;
    DispatchInterruptionWatch(const DispatchInterruptionWatch&) = delete;
    DispatchInterruptionWatch& operator=(const DispatchInterruptionWatch&) = delete;

  private:
    void cancelAll();

    std::vector<std::pair<int, dispatch_source_t>> sources_;
};

DispatchInterruptionWatch::DispatchInterruptionWatch(std::function<void(int)> interrupted) {
    auto callback = std::make_shared<std::function<void(int)>>(std::move(interrupted));
    for (const int number : kInterruptionSignals) {
        // dispatch_source_create: a suspended source for the signal, handled on the main queue;
        // NULL only when the system has no room for it.
        dispatch_source_t source =
            dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(number), 0,
                                   dispatch_get_main_queue());
        if (!source) {
            cancelAll();
            throw toolError(kUnexpectedErrorCode, @"The system could not watch signals.");
        }
        // The handler runs on the main queue, never inside the signal handler; the source's data
        // is how many of the signal arrived since it last ran. The handler keeps the callback
        // alive; it reaches the source unretained, since the source owns the handler and only
        // runs it while it exists.
        __unsafe_unretained dispatch_source_t unretained = source;
        dispatch_source_set_event_handler(source, ^{
          try {
              for (auto n = dispatch_source_get_data(unretained); n > 0; --n) (*callback)(number);
          } catch (...) {
              endAfterEscapedJob();
          }
        });
        ignoredSignals().hold(number);
        dispatch_resume(source);
        sources_.emplace_back(number, source);
    }
}

DispatchInterruptionWatch::~DispatchInterruptionWatch() {
    cancelAll();
}

void DispatchInterruptionWatch::cancelAll() {
    for (auto& [number, source] : sources_) {
        // dispatch_source_cancel: no handler runs after it; ARC releases the source with the
        // vector.
        dispatch_source_cancel(source);
        ignoredSignals().release(number);
    }
    sources_.clear();
}

}  // namespace

std::unique_ptr<InterruptionWatch> DispatchRuntime::watchInterruptions(
    std::function<void(int signal)> interrupted) {
    return std::make_unique<DispatchInterruptionWatch>(std::move(interrupted));
}

}  // namespace sorvanel
