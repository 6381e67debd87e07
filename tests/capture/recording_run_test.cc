#include "capture/recording_run.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "analysis/scripted_file.h"
#include "capture/fake_writer.h"
#include "lines/emit.h"
#include "lines/lines.h"
#include "support/fake_capture.h"
#include "support/fake_platform.h"
#include "support/fake_sample_buffer.h"
#include "support/process_harness.h"

namespace sorvanel {
namespace {

using namespace testing;
using Lines = std::vector<std::string>;

const std::string kReady =
    R"({"applications":["com.ableton.live"],"source":"Ableton Live","type":"ready"})";
const Error kPlatformError("com.apple.ScreenCaptureKit.SCStreamErrorDomain", -3805,
                           "The stream stopped.");

std::string line(const std::string& errorText) {
    return serializeResult(errorLine(errorText));
}

// One recording run against fakes of the capture service, the writer and the reader.
struct Recording {
    ProcessHarness process;  // first, so its executor outlives the fakes' threads
    FakeAccess access;
    FakeCaptureService capture;
    FakeWriters writers;
    FileScript file;
    ScriptedReader files{file};

    Recording() {
        capture.addApplication("com.ableton.live");
        capture.content->screens.push_back(std::make_shared<FakeDisplay>());
        file.length = 4;
        file.chunks = {{{0.5f, 0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f}}};
    }

    // Delivers one audio buffer once capture runs, so the writer starts.
    void deliverAudio() {
        capture.whileRunning = [](FakeCaptureService::Stream& stream) {
            stream.deliver(std::make_shared<FakeSampleBuffer>(480));
        };
    }

    void run(double seconds = 1.0, std::string path = "/takes/take.m4a") {
        Platform platform{
            {"SorvanelAudio", path, "1"}, process.runtime, access, capture, writers, files};
        sorvanel::Invocation invocation(process.runtime);
        process.run(recordingRun(platform, invocation, path, seconds));
    }

    bool writerMade() const { return !writers.writersMade.empty(); }
};

TEST(Selection, PrefixIgnoresLetterCaseAndMustStartTheIdentifier) {
    for (const char* selected :
         {"com.ableton.live", "COM.Ableton.LIVE", "com.ableton.live11", "com.ableton.live.suite"})
        EXPECT_TRUE(isAbletonLive(std::string(selected))) << selected;
    for (const char* refused :
         {"", "com.ableton.liv", "org.com.ableton.live", " com.ableton.live", "com.ableton-live"})
        EXPECT_FALSE(isAbletonLive(std::string(refused))) << refused;
    EXPECT_FALSE(isAbletonLive(std::nullopt));
}

TEST(RecordingWait, IsTheProductTruncatedToWholeNanoseconds) {
    EXPECT_EQ(recordingWait(1).count(), 1'000'000'000);
    EXPECT_EQ(recordingWait(30).count(), 30'000'000'000);
    EXPECT_EQ(recordingWait(1.5).count(), 1'500'000'000);
    EXPECT_EQ(recordingWait(1.0000000009).count(), 1'000'000'000);
}

TEST(NoSource, NoMatchingApplicationEndsWithStatus4BeforeTheDisplaysAreRead) {
    Recording run;
    run.capture.content->apps.clear();
    run.capture.addApplication("org.example.player");
    run.capture.addApplication(std::nullopt);
    run.capture.addApplication("org.com.ableton.live");
    run.run();
    EXPECT_EQ(run.process.lines, Lines{serializeResult(noSourceLine())});
    EXPECT_EQ(run.process.status, 4);
    EXPECT_FALSE(run.capture.content->displaysRead);
    EXPECT_FALSE(run.writerMade());
    EXPECT_EQ(run.capture.events, Lines{"getShareableContent"});
}

TEST(NoSource, NoDisplayEndsWithStatus4AndNoSink) {
    Recording run;
    run.capture.content->screens.clear();
    run.run();
    EXPECT_EQ(run.process.lines, Lines{serializeResult(noSourceLine())});
    EXPECT_EQ(run.process.status, 4);
    EXPECT_FALSE(run.writerMade());
}

TEST(Failures, BeforeTheReadyLineOnlyTheErrorLineIsPrinted) {
    Recording query;
    query.capture.contentError = kPlatformError;
    query.run();
    EXPECT_EQ(query.process.lines, Lines{line("The stream stopped.")});
    EXPECT_EQ(query.process.status, 1);
    EXPECT_FALSE(query.writerMade());

    Recording empty;  // no content and no error: outside the contract, yet no crash
    empty.capture.content = nullptr;
    empty.run();
    EXPECT_EQ(empty.process.lines,
              Lines{line("The system answered the content query with no content.")});
    EXPECT_EQ(empty.process.status, 1);

    Recording sink;
    sink.writers.creationError = Error("FFmpeg", -17, "Cannot create /takes/take.m4a: File exists");
    sink.run();
    EXPECT_EQ(sink.process.lines, Lines{line("Cannot create /takes/take.m4a: File exists")});
    EXPECT_EQ(sink.process.status, 1);
    EXPECT_EQ(sink.capture.events, Lines{"getShareableContent"});

    Recording output;
    output.capture.outputError = kPlatformError;
    output.run();
    EXPECT_EQ(output.process.lines, Lines{line("The stream stopped.")});
    EXPECT_EQ(output.capture.events,
              (Lines{"getShareableContent", "makeStream", "addStreamOutput"}));

    Recording start;
    start.capture.startError = kPlatformError;
    start.run();
    EXPECT_EQ(start.process.lines, Lines{line("The stream stopped.")});
    EXPECT_EQ(start.process.status, 1);
    EXPECT_EQ(start.capture.events.back(), "startCapture");
}

TEST(Failures, AfterTheReadyLineTheErrorLineFollowsIt) {
    Recording stop;
    stop.deliverAudio();
    stop.capture.stopError = kPlatformError;
    stop.run();
    EXPECT_EQ(stop.process.lines, (Lines{kReady, line("The stream stopped.")}));
    EXPECT_EQ(stop.process.status, 1);
    EXPECT_EQ(stop.writers.writer->finishCalls, 0)
        << "the sink is not finished after a failed stop";

    Recording silent;  // a client without playback streams delivers nothing
    silent.run();
    EXPECT_EQ(silent.process.lines, (Lines{kReady, line("Ableton supplied no audio buffers.")}));
    EXPECT_EQ(silent.process.status, 1);

    Recording metrics;
    metrics.deliverAudio();
    metrics.files.openError =
        Error("FFmpeg", -2, "Cannot open /takes/take.m4a: No such file or directory");
    metrics.run();
    EXPECT_EQ(metrics.process.lines,
              (Lines{kReady, line("Cannot open /takes/take.m4a: No such file or directory")}));
    EXPECT_EQ(metrics.process.status, 1);
}

TEST(Failures, AStreamTheSystemStoppedIsNotStoppedAgainAndItsFileIsFinishedBeforeItsReason) {
    const auto stopsIt = [](FakeCaptureService::Stream& stream) {
        stream.deliver(std::make_shared<FakeSampleBuffer>(0));
        stream.stopBySystem(kPlatformError);
    };
    enum When { whileStarting, whileRunning, whileStopping };
    for (When when : {whileStarting, whileRunning, whileStopping}) {
        SCOPED_TRACE(when);
        Recording run;
        (when == whileStarting  ? run.capture.whileStarting
         : when == whileRunning ? run.capture.whileRunning
                                : run.capture.whileStopping) = stopsIt;
        const auto began = std::chrono::steady_clock::now();
        run.run(when == whileStopping ? 0.01 : 30.0);
        // The notice ends the wait at once.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
        EXPECT_EQ(run.process.lines, (Lines{kReady, line("The stream stopped.")}));
        EXPECT_EQ(run.writers.writer->finishCalls, 1);
        const bool stopped = std::count(run.capture.events.begin(), run.capture.events.end(),
                                        std::string("stopCapture")) > 0;
        EXPECT_EQ(stopped, when == whileStopping);
    }
}

TEST(Success, RunsEveryStepInOrderAndPrintsTheCompleteLine) {
    Recording run;
    run.capture.content->apps.clear();
    for (const char* id : {"org.example.synth", "COM.ABLETON.LIVE", "com.ableton.live.beta",
                           "x.com.ableton.live", "com.ableton.live"})
        run.capture.addApplication(std::string(id));
    run.capture.addApplication(std::nullopt);
    run.capture.content->screens.push_back(std::make_shared<FakeDisplay>());
    run.deliverAudio();
    run.capture.whileStopping = [](FakeCaptureService::Stream& stream) {
        stream.deliver(std::make_shared<FakeSampleBuffer>(960));  // until the stop completes
    };
    run.run(1.0, "/takes/\xFF take.m4a");

    ASSERT_EQ(run.process.lines.size(), 2u);
    EXPECT_EQ(run.process.lines[0],
              R"({"applications":["COM.ABLETON.LIVE","com.ableton.live.beta","com.ableton.live"],)"
              R"("source":"Ableton Live","type":"ready"})");
    EXPECT_EQ(
        run.process.lines[1],
        R"({"metrics":{"channels":2,"duration_seconds":8.333333333333333e-05,"has_signal":true,)"
        R"("peak_dbfs":-6.020599913279624,"rms_dbfs":-6.020599913279624,"sample_rate":48000,)"
        R"("waveform":[0.5]},"type":"complete"})");
    EXPECT_EQ(run.process.status, 0);
    for (auto thread : run.process.lineThreads) EXPECT_EQ(thread, std::this_thread::get_id());

    EXPECT_EQ(run.capture.events, (Lines{"getShareableContent", "makeStream", "addStreamOutput",
                                         "startCapture", "stopCapture"}));
    EXPECT_TRUE(run.capture.askedExcludeDesktopWindows);
    EXPECT_FALSE(run.capture.askedOnScreenWindowsOnly);

    const auto& stream = *run.capture.stream;
    EXPECT_EQ(stream.filter.display, run.capture.content->screens.front());
    ASSERT_EQ(stream.filter.includedApplications.size(), 3u);
    EXPECT_EQ(stream.filter.includedApplications[0], run.capture.content->apps[1]);
    EXPECT_EQ(stream.filter.includedApplications[2], run.capture.content->apps[4]);
    EXPECT_EQ(stream.outputType, StreamOutputType::audio);
    EXPECT_EQ(dynamic_cast<StreamDelegate*>(stream.output.get()), stream.delegate.get())
        << "the sink is both the output and the delegate";
    const auto& configuration = stream.configuration;
    EXPECT_TRUE(configuration.capturesAudio);
    EXPECT_TRUE(configuration.excludesCurrentProcessAudio);
    EXPECT_EQ(configuration.sampleRate, 48000);
    EXPECT_EQ(configuration.channelCount, 2);
    EXPECT_EQ(configuration.width, 2);
    EXPECT_EQ(configuration.height, 2);
    EXPECT_EQ(configuration.minimumFrameInterval, (MediaTime{1, 1}));
    EXPECT_FALSE(configuration.showsCursor);

    // The path goes unchanged to the writer and to the reader.
    ASSERT_EQ(run.writers.writersMade.size(), 1u);
    EXPECT_EQ(run.writers.writersMade[0].first, "/takes/\xFF take.m4a");
    EXPECT_EQ(run.files.opened, Lines{"/takes/\xFF take.m4a"});
    EXPECT_EQ(run.writers.writer->finishCalls, 1);
    EXPECT_EQ(run.writers.writer->sessionStarts, (std::vector<MediaTime>{{480, 48000}}));
}

}  // namespace
}  // namespace sorvanel
