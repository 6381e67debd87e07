#include "capture/recording_run.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <memory>
#include <vector>

#include <asio/post.hpp>

#include "analysis/audio_metrics.h"
#include "capture/audio_sink.h"
#include "driver/emit.h"
#include "driver/lines.h"
#include "runtime/awaitable.h"
#include "runtime/process.h"

namespace sorvanel {
namespace {

constexpr std::string_view kBundleIdentifierPrefix = "com.ableton.live";
constexpr double kNanosecondsPerSecond = 1e9;

[[noreturn]] void endWith(const ResultObject& line, int status) {
    emit(line);
    exitProcess(status);
}

StreamConfiguration captureConfiguration() {
    StreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = MediaTime{1, 1};
    configuration.showsCursor = false;
    return configuration;
}

// What happens to a run from outside its steps: interruptions and a capture that stopped with
// an error. Touched on the main executor only.
struct RunEvents {
    enum class Stage { preparing, capturing, finishing };

    Stage stage = Stage::preparing;
    std::optional<int> signal;             // the first interruption
    bool captureStopped = false;           // the stream stopped with an error
    std::optional<Completion<void>> wait;  // the recording wait, while it lasts

    void endWait() {
        if (wait) wait->succeed();
        wait.reset();
    }

    // Before capture starts nothing can be on disk, so the run ends at once; during capture the
    // wait ends and the file is finished first. A second signal ends the process at once.
    void interrupt(int number) {
        const bool again = signal.has_value();
        if (!again) signal = number;
        if (stage == Stage::preparing || again)
            endWith(errorLine(interruptedError(*signal).description()), kStatusRunFailed);
        endWait();
    }
};

}  // namespace

bool isAbletonLive(const std::optional<std::string>& bundleIdentifier) {
    if (!bundleIdentifier || bundleIdentifier->size() < kBundleIdentifierPrefix.size())
        return false;
    // The prefix is ASCII, so only ASCII letters can lower-case onto it.
    for (std::size_t i = 0; i < kBundleIdentifierPrefix.size(); ++i) {
        char c = (*bundleIdentifier)[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kBundleIdentifierPrefix[i]) return false;
    }
    return true;
}

Error interruptedError(int signal) {
    const char* name = signal == SIGINT    ? "SIGINT"
                       : signal == SIGTERM ? "SIGTERM"
                       : signal == SIGHUP  ? "SIGHUP"
                                           : nullptr;
    return Error(kErrorDomain, kInterruptedErrorCode,
                 "The recording was interrupted by " +
                     (name ? std::string(name) : "signal " + std::to_string(signal)) + ".");
}

std::chrono::nanoseconds recordingWait(double seconds) {
    return std::chrono::nanoseconds(static_cast<std::uint64_t>(seconds * kNanosecondsPerSecond));
}

namespace {

// The run's steps, each awaited before the next. False when there is nothing to capture. Ends
// nothing itself: whoever ends the process does so outside every handler of the run.
asio::awaitable<bool> record(Platform& platform, const std::string& outputPath, double seconds,
                             const std::shared_ptr<RunEvents>& events) {
    auto content = co_await awaitCompletion<std::shared_ptr<ShareableContent>>(
        [&](Completion<std::shared_ptr<ShareableContent>> done) {
            platform.capture.getShareableContent(true, false, std::move(done));
        });
    // Outside the platform's contract, but it must not be dereferenced.
    if (!content)
        throw Error(kErrorDomain, kNoContentErrorCode,
                    "The system answered the content query with no content.");

    std::vector<std::shared_ptr<RunningApplication>> selected;
    for (const auto& application : content->applications()) {
        if (isAbletonLive(application->bundleIdentifier())) selected.push_back(application);
    }
    if (selected.empty()) co_return false;
    const auto displays = content->displays();
    if (displays.empty()) co_return false;

    const ContentFilter filter{displays.front(), selected};
    const StreamConfiguration configuration = captureConfiguration();
    const std::string outputUrl = outputPath;

    auto sink = AudioSink::make(platform.runtime, platform.writers, outputUrl);
    // A capture that stopped with an error has nothing more to record: the wait ends.
    const auto executor = co_await asio::this_coro::executor;
    sink->setStopListener([events, executor] {
        asio::post(executor, [events] {
            events->captureStopped = true;
            events->endWait();
        });
    });
    auto stream = platform.capture.makeStream(filter, configuration, sink);
    stream->addStreamOutput(sink, StreamOutputType::audio, sink->queue());
    events->stage = RunEvents::Stage::capturing;
    co_await awaitCompletion<void>(
        [&](Completion<void> done) { stream->startCapture(std::move(done)); });
    // The recording ends this long after capture started, whatever the ready line's write took.
    const auto end = std::chrono::steady_clock::now() + recordingWait(seconds);

    std::vector<std::string> identifiers;
    for (const auto& application : selected)
        identifiers.push_back(application->bundleIdentifier().value_or(""));
    selected.clear();
    emit(readyLine(std::move(identifiers)));

    if (!events->signal && !events->captureStopped) {
        co_await awaitCompletion<void>([&](Completion<void> done) {
            events->wait = done;
            const auto left = std::max(std::chrono::nanoseconds(0),
                                       std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           end - std::chrono::steady_clock::now()));
            platform.runtime.scheduleAfter(left, [done] { done.succeed(); });
        });
    }
    events->wait.reset();
    events->stage = RunEvents::Stage::finishing;

    std::exception_ptr failure;
    try {
        // A stream the system stopped is not running: stopping it fails with a state error, and
        // its file must still be finished, with the system's reason as the outcome.
        if (!events->captureStopped) {
            try {
                co_await awaitCompletion<void>(
                    [&](Completion<void> done) { stream->stopCapture(std::move(done)); });
            } catch (...) {
                if (!events->captureStopped) throw;
            }
        }
        co_await sink->finish();
    } catch (...) {
        failure = std::current_exception();
    }
    // An interruption is the reason the recording ended, whatever finishing found.
    if (events->signal) throw interruptedError(*events->signal);
    if (failure) std::rethrow_exception(failure);
    emit(completeLine(audioMetrics(platform.files, outputUrl)));
    co_return true;
}

}  // namespace

asio::awaitable<void> recordingRun(Platform& platform, std::string outputPath, double seconds,
                                   std::unique_ptr<InterruptionWatch> earlier) {
    auto events = std::make_shared<RunEvents>();
    // While the run lasts, a signal ends the recording, not the file.
    const auto watch =
        platform.runtime.watchInterruptions([events](int signal) { events->interrupt(signal); });
    earlier.reset();
    std::exception_ptr failure;
    bool captured = false;
    try {
        captured = co_await record(platform, outputPath, seconds, events);
    } catch (...) {
        failure = std::current_exception();
    }
    // Errors of the platform, of the sink and of the reader alike, and anything else that
    // escaped them: one line, status 1.
    if (failure) endWith(errorLine(errorFrom(failure).description()), kStatusRunFailed);
    if (!captured) endWith(noSourceLine(), kStatusNoSource);
}

}  // namespace sorvanel
