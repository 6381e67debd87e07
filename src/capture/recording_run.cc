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

asio::awaitable<void> recordingRun(Platform& platform, std::string outputPath, double seconds) {
    try {
        auto content = co_await awaitCompletion<std::shared_ptr<ShareableContent>>(
            [&](Completion<std::shared_ptr<ShareableContent>> done) {
                platform.capture.getShareableContent(true, false, std::move(done));
            });

        std::vector<std::shared_ptr<RunningApplication>> selected;
        for (const auto& application : content->applications()) {
            if (isAbletonLive(application->bundleIdentifier())) selected.push_back(application);
        }
        if (selected.empty()) endWith(noSourceLine(), kStatusNoSource);
        const auto displays = content->displays();
        if (displays.empty()) endWith(noSourceLine(), kStatusNoSource);

        const ContentFilter filter{displays.front(), selected};
        const StreamConfiguration configuration = captureConfiguration();
        const std::string outputUrl = outputPath;

        auto sink = std::make_shared<AudioSink>(platform.writers, outputUrl);
        auto stream = platform.capture.makeStream(filter, configuration, sink);
        stream->addStreamOutput(sink, StreamOutputType::audio, sink->queue);
        co_await awaitCompletion<void>(
            [&](Completion<void> done) { stream->startCapture(std::move(done)); });

        std::vector<std::string> identifiers;
        for (const auto& application : selected)
            identifiers.push_back(application->bundleIdentifier().value_or(""));
        selected.clear();
        emit(readyLine(std::move(identifiers)));

        co_await sleepFor(recordingWait(seconds));
        co_await awaitCompletion<void>(
            [&](Completion<void> done) { stream->stopCapture(std::move(done)); });
        co_await sink->finish();
        emit(completeLine(audioMetrics(platform.files, outputUrl)));
    } catch (const std::exception& error) {
        // Errors of the platform and of the sink and the reader alike: one line, status 1. An
        // Error's what() is its description.
        endWith(errorLine(error.what()), kStatusRunFailed);
    }
}

}  // namespace sorvanel
