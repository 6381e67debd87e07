#include "capture/recording_run.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include <asio/post.hpp>

#include "analysis/audio_metrics.h"
#include "capture/audio_sink.h"
#include "lines/emit.h"
#include "lines/lines.h"
#include "runtime/awaitable.h"

namespace sorvanel {
namespace {

constexpr std::string_view kBundleIdentifierPrefix = "com.ableton.live";
constexpr double kNanosecondsPerSecond = 1e9;

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

std::chrono::nanoseconds recordingWait(double seconds) {
    return std::chrono::nanoseconds(static_cast<std::uint64_t>(seconds * kNanosecondsPerSecond));
}

namespace {

// What the run learns from the capture service's thread: the stream stopped with an error.
struct CaptureState {
    bool stopped = false;
};

std::vector<std::string> identifiersOf(
    const std::vector<std::shared_ptr<RunningApplication>>& all) {
    std::vector<std::string> identifiers;
    for (const auto& application : all)
        identifiers.push_back(application->bundleIdentifier().value_or(""));
    return identifiers;
}

// The run's steps, each awaited before the next, through the invocation, so that a signal is
// answered in every wait. False when there is nothing to capture. Ends nothing itself: whoever
// ends the process does so outside every handler of the run.
asio::awaitable<bool> record(Platform& platform, Invocation& invocation,
                             const std::string& outputPath, double seconds) {
    invocation.enter(Stage::querying);
    auto content = co_await invocation.wait<std::shared_ptr<ShareableContent>>(
        [&](Completion<std::shared_ptr<ShareableContent>> done) {
            platform.capture.getShareableContent(true, false, std::move(done));
        });
    // Outside the platform's contract, but it must not be dereferenced.
    if (!content)
        throw Error(kErrorDomain, kNoContentErrorCode,
                    "The system answered the content query with no content.");

    invocation.enter(Stage::settingUp);
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
    const auto capture = std::make_shared<CaptureState>();
    sink->setStopListener([capture, executor, &invocation] {
        asio::post(executor, [capture, &invocation] {
            capture->stopped = true;
            invocation.endRecordingWait();
        });
    });
    auto stream = platform.capture.makeStream(filter, configuration, sink);
    stream->addStreamOutput(sink, StreamOutputType::audio, sink->queue());

    invocation.enter(Stage::capturing);
    std::exception_ptr startFailure;
    try {
        co_await invocation.wait<void>(
            [&](Completion<void> done) { stream->startCapture(std::move(done)); });
    } catch (...) {
        startFailure = std::current_exception();
    }
    // A start that a signal ended leaves no file, or, once audio reached the writer, a finished
    // one: the stop and finish below still run, without the ready line.
    if (startFailure && (!invocation.interruption() || co_await sink->closeUnlessWriting()))
        std::rethrow_exception(startFailure);
    // The recording ends this long after capture started, whatever the ready line's write took.
    const auto end = std::chrono::steady_clock::now() + recordingWait(seconds);

    if (!startFailure) {
        emit(readyLine(identifiersOf(selected)));
        selected.clear();
        invocation.enter(Stage::recording);
        if (!invocation.interruption() && !capture->stopped) {
            co_await invocation.wait<void>([&](Completion<void> done) {
                const auto left = std::max(std::chrono::nanoseconds(0),
                                           std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               end - std::chrono::steady_clock::now()));
                platform.runtime.scheduleAfter(left, [done] { done.succeed(); });
            });
        }
    }

    invocation.enter(Stage::stopping);
    std::exception_ptr failure;
    try {
        // A stream the system stopped is not running: stopping it fails with a state error, and
        // its file must still be finished, with the system's reason as the outcome. An
        // interrupted recording's file is finished whatever its stop answered: the sink takes
        // nothing after its drain, and the interruption is the line.
        if (!capture->stopped) {
            try {
                co_await invocation.wait<void>(
                    [&](Completion<void> done) { stream->stopCapture(std::move(done)); });
            } catch (...) {
                if (!capture->stopped && !invocation.interruption()) throw;
            }
        }
        invocation.enter(Stage::finishing);
        co_await invocation.waitFor(sink->finish());
    } catch (...) {
        failure = std::current_exception();
    }
    // An interruption is the reason the recording ended, whatever finishing found.
    if (invocation.interruption()) throw interruptedError(*invocation.interruption());
    if (failure) std::rethrow_exception(failure);
    invocation.enter(Stage::measuring);
    emit(completeLine(audioMetrics(platform.files, outputUrl)));
    co_return true;
}

}  // namespace

asio::awaitable<void> recordingRun(Platform& platform, Invocation& invocation,
                                   std::string outputPath, double seconds) {
    std::exception_ptr failure;
    bool captured = false;
    try {
        captured = co_await record(platform, invocation, outputPath, seconds);
    } catch (...) {
        failure = std::current_exception();
    }
    // Errors of the platform, of the sink and of the reader alike, and anything else that
    // escaped them: one line, status 1.
    if (failure) invocation.endWith(errorLine(errorFrom(failure).description()), kStatusRunFailed);
    if (!captured) invocation.endWith(noSourceLine(), kStatusNoSource);
}

}  // namespace sorvanel
