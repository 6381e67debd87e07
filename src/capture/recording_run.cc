#include "capture/recording_run.h"

#include <cstdint>
#include <memory>
#include <vector>

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

// The run's steps, each awaited before the next. False when there is nothing to capture. Ends
// nothing itself: whoever ends the process does so outside every handler of the run.
asio::awaitable<bool> record(Platform& platform, const std::string& outputPath, double seconds) {
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
    auto stream = platform.capture.makeStream(filter, configuration, sink);
    stream->addStreamOutput(sink, StreamOutputType::audio, sink->queue());
    co_await awaitCompletion<void>(
        [&](Completion<void> done) { stream->startCapture(std::move(done)); });

    std::vector<std::string> identifiers;
    for (const auto& application : selected)
        identifiers.push_back(application->bundleIdentifier().value_or(""));
    selected.clear();
    emit(readyLine(std::move(identifiers)));

    co_await platform.runtime.sleepFor(recordingWait(seconds));
    co_await awaitCompletion<void>(
        [&](Completion<void> done) { stream->stopCapture(std::move(done)); });
    co_await sink->finish();
    emit(completeLine(audioMetrics(platform.files, outputUrl)));
    co_return true;
}

}  // namespace

asio::awaitable<void> recordingRun(Platform& platform, std::string outputPath, double seconds) {
    std::exception_ptr failure;
    bool captured = false;
    try {
        captured = co_await record(platform, outputPath, seconds);
    } catch (...) {
        failure = std::current_exception();
    }
    // Errors of the platform, of the sink and of the reader alike, and anything else that
    // escaped them: one line, status 1.
    if (failure) endWith(errorLine(errorFrom(failure).description()), kStatusRunFailed);
    if (!captured) endWith(noSourceLine(), kStatusNoSource);
}

}  // namespace sorvanel
