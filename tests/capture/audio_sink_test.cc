#include "capture/audio_sink.h"

#include <future>
#include <list>
#include <thread>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "capture/fake_writer.h"
#include "platform/asio/asio_runtime.h"
#include "support/fake_sample_buffer.h"

namespace sorvanel {
namespace {

using testing::Answer;
using testing::FakeWriters;

using Buffer = testing::FakeSampleBuffer;

MediaTime at(std::int64_t value) {
    return {value, 48000};
}

const Error kStartError("AVFoundationErrorDomain", -11800, "The operation could not be completed");
const Error kAppendError("AVFoundationErrorDomain", -11823, "Cannot Save");
const Error kStreamError("com.apple.ScreenCaptureKit.SCStreamErrorDomain", -3805,
                         "The stream was stopped");
const Error kFinishError("NSPOSIXErrorDomain", 28, "No space left on device");

class AudioSinkTest : public ::testing::Test {
  protected:
    std::list<asio::io_context> contexts;
    AsioRuntime runtime;
    FakeWriters writers;

    std::shared_ptr<AudioSink> makeSink(FakeWriters& factory) {
        return AudioSink::make(runtime, factory, "/recordings/take.m4a");
    }
    std::shared_ptr<AudioSink> makeSink() { return makeSink(writers); }

    // Delivers a buffer the way the capture service does: on the sink's queue.
    static void deliver(const std::shared_ptr<AudioSink>& sink, Buffer buffer,
                        StreamOutputType type = StreamOutputType::audio) {
        sink->queue()->post([sink, buffer, type] { sink->didOutputSampleBuffer(buffer, type); });
    }

    // Runs `finish` to its end in a context of its own; the error it failed with, if any. The
    // contexts outlive the test's sinks and writers: a completing thread lets go of its hold on a
    // context only after the waiter has resumed.
    std::optional<Error> finish(const std::shared_ptr<AudioSink>& sink) {
        asio::io_context& context = contexts.emplace_back();
        auto done = asio::co_spawn(context, sink->finish(), asio::use_future);
        context.run();
        try {
            done.get();
        } catch (const Error& error) {
            return error;
        }
        return std::nullopt;
    }

    void expectFileNotFinished() const {
        EXPECT_FALSE(writers.input->markedFinished);
        EXPECT_EQ(writers.writer->finishCalls, 0);
    }

    // Writing started, so the file is finished and plays, whatever failed.
    void expectFileFinished() const {
        EXPECT_TRUE(writers.input->markedFinished);
        EXPECT_EQ(writers.writer->finishCalls, 1);
    }
};

TEST_F(AudioSinkTest, ConstructionMakesAnM4AWriterWithOneRealTimeAacInputAndASerialQueue) {
    auto sink = makeSink();
    ASSERT_EQ(writers.writersMade.size(), 1u);
    EXPECT_EQ(writers.writersMade[0].first, "/recordings/take.m4a");
    EXPECT_EQ(writers.writersMade[0].second, FileType::appleM4A);
    ASSERT_EQ(writers.inputsMade.size(), 1u);
    EXPECT_EQ(writers.inputsMade[0].first, MediaType::audio);
    const AudioOutputSettings& settings = writers.inputsMade[0].second;
    EXPECT_EQ(settings.formatID, 0x61616320u);
    EXPECT_EQ(settings.sampleRate, 48000);
    EXPECT_EQ(settings.numberOfChannels, 2);
    EXPECT_EQ(settings.encoderBitRate, 192000);
    EXPECT_TRUE(writers.input->realTime);
    ASSERT_EQ(writers.writer->inputs.size(), 1u);
    EXPECT_EQ(writers.writer->inputs[0], writers.input);
    EXPECT_EQ(writers.writer->startCalls, 0);  // writing starts with the first audio buffer
    ASSERT_NE(sink->queue(), nullptr);
    const std::string& label = sink->queue()->label();
    EXPECT_EQ(label.substr(label.size() - std::string(".audio.capture").size()), ".audio.capture");
}

TEST_F(AudioSinkTest, WriterThatCannotBeCreatedFailsConstructionWithItsErrorUnchanged) {
    const Error creation("NSCocoaErrorDomain", 4,
                         "The folder \u201crecordings\u201d doesn\u2019t exist.");
    writers.creationError = creation;
    try {
        makeSink();
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error, creation);
    }
    EXPECT_TRUE(writers.inputsMade.empty());
}

TEST_F(AudioSinkTest, NormalRunStartsAtFirstBufferAppendsAllAndFinishesOnTheWritersThread) {
    auto sink = makeSink();
    for (std::int64_t time : {96000, 96960, 97920}) deliver(sink, Buffer(time));
    EXPECT_EQ(finish(sink), std::nullopt);
    EXPECT_EQ(writers.writer->startCalls, 1);
    EXPECT_EQ(writers.writer->sessionStarts, std::vector<MediaTime>{at(96000)});
    EXPECT_EQ(writers.input->appended, (std::vector<MediaTime>{at(96000), at(96960), at(97920)}));
    EXPECT_TRUE(writers.input->markedFinished);
    EXPECT_EQ(writers.writer->finishCalls, 1);
    EXPECT_NE(writers.writer->finishedOn, std::this_thread::get_id());
}

TEST_F(AudioSinkTest, WithoutAnAcceptedAudioBufferFinishFailsWithTheNoBuffersError) {
    {
        auto sink = makeSink();  // nothing arrives at all
        EXPECT_EQ(finish(sink), Error("SorvanelAudio", 2, "Ableton supplied no audio buffers."));
    }
    {
        auto sink = makeSink();  // only screen and microphone buffers, and unusable audio ones
        deliver(sink, Buffer(0), StreamOutputType::screen);
        deliver(sink, Buffer(10), StreamOutputType::microphone);
        deliver(sink, Buffer(20, /*valid=*/false));
        deliver(sink, Buffer(30, /*valid=*/true, /*ready=*/false));
        std::optional<Error> error = finish(sink);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "SorvanelAudio");
        EXPECT_EQ(error->code(), 2);
        EXPECT_EQ(error->description(), "Ableton supplied no audio buffers.");
    }
    EXPECT_EQ(writers.writer->startCalls, 0);
    EXPECT_TRUE(writers.writer->sessionStarts.empty());
    EXPECT_EQ(writers.input->appendCalls, 0);
    expectFileNotFinished();
}

TEST_F(AudioSinkTest, BufferWhoseDataIsNotReadyNeitherStartsNorFixesTheSessionStart) {
    auto sink = makeSink();
    deliver(sink, Buffer(1000, true, /*ready=*/false));
    deliver(sink, Buffer(2000));
    deliver(sink, Buffer(3000));
    EXPECT_EQ(finish(sink), std::nullopt);
    EXPECT_EQ(writers.writer->startCalls, 1);
    EXPECT_EQ(writers.writer->sessionStarts, std::vector<MediaTime>{at(2000)});
    EXPECT_EQ(writers.input->appended, (std::vector<MediaTime>{at(2000), at(3000)}));
}

TEST_F(AudioSinkTest, FirstAcceptedBufferFindingTheInputBusyStartsTheSessionAndIsDropped) {
    writers.input->readyAnswers = {false, true, false, true};
    auto sink = makeSink();
    for (std::int64_t time : {500, 1460, 2420, 3380}) deliver(sink, Buffer(time));
    EXPECT_EQ(finish(sink), std::nullopt);  // a dropped buffer is no failure
    EXPECT_EQ(writers.writer->startCalls, 1);
    EXPECT_EQ(writers.writer->sessionStarts, std::vector<MediaTime>{at(500)});
    EXPECT_EQ(writers.input->appended, (std::vector<MediaTime>{at(1460), at(3380)}));
    EXPECT_EQ(writers.input->appendCalls, 2);
}

TEST_F(AudioSinkTest, FailedWriterIsNeitherUsedAgainNorFinishedAndItsOwnErrorIsTheOutcome) {
    const Error diskFull("NSPOSIXErrorDomain", 28, "No space left on device");
    {
        // Writing cannot start (the file exists): no second start for the later buffers.
        writers.writer->startAnswers = {{false, kStartError}};
        auto sink = makeSink();
        for (std::int64_t time : {0, 960, 1920}) deliver(sink, Buffer(time));
        EXPECT_EQ(finish(sink), kStartError);  // not the no-buffers error
        EXPECT_EQ(writers.writer->startCalls, 1);
        EXPECT_TRUE(writers.writer->sessionStarts.empty());
        EXPECT_EQ(writers.input->appendCalls, 0);
        expectFileNotFinished();
    }
    {
        // An append fails: the writer has failed for good.
        FakeWriters failed;
        failed.input->appendAnswers = {{true, {}}, {false, kAppendError}};
        auto sink = makeSink(failed);
        for (std::int64_t time : {0, 960, 1920, 2880}) deliver(sink, Buffer(time));
        EXPECT_EQ(finish(sink), kAppendError);
        EXPECT_EQ(failed.input->appendCalls, 2);
        EXPECT_EQ(failed.input->appended, std::vector<MediaTime>{at(0)});
        EXPECT_FALSE(failed.input->markedFinished);
        EXPECT_EQ(failed.writer->finishCalls, 0);
    }
    {
        // The writer fails on its own while writing: no call reports it, the input stays busy.
        FakeWriters failed;
        auto sink = makeSink(failed);
        deliver(sink, Buffer(0));
        sink->queue()->post([&] { failed.writer->failOnItsOwn(diskFull); });
        deliver(sink, Buffer(960));
        EXPECT_EQ(finish(sink), diskFull);
        EXPECT_EQ(failed.input->appended, std::vector<MediaTime>{at(0)});
        EXPECT_FALSE(failed.input->markedFinished);
        EXPECT_EQ(failed.writer->finishCalls, 0);
    }
}

TEST_F(AudioSinkTest, OfTwoFailuresTheLaterOneWinsInQueueOrder) {
    {
        // An append failure, then the stream stopping with an error.
        writers.input->appendAnswers = {{false, kAppendError}};
        auto sink = makeSink();
        deliver(sink, Buffer(0));
        deliver(sink, Buffer(960));
        std::thread([&] { sink->didStopWithError(kStreamError); }).join();
        EXPECT_EQ(finish(sink), kStreamError);
    }
    {
        // The stop error, then an append failure for a buffer delivered after it.
        FakeWriters later;
        later.input->appendAnswers = {{true, {}}, {false, kAppendError}};
        auto sink = makeSink(later);
        deliver(sink, Buffer(0));
        std::thread([&] { sink->didStopWithError(kStreamError); }).join();
        deliver(sink, Buffer(960));
        EXPECT_EQ(finish(sink), kAppendError);
    }
}

TEST_F(AudioSinkTest, WriterThatFailsWithoutAnErrorIsNoSuccess) {
    {
        // A start failure without an error leaves nothing started: the no-buffers error.
        writers.writer->startAnswers = {{false, std::nullopt}};
        auto sink = makeSink();
        deliver(sink, Buffer(0));
        deliver(sink, Buffer(960));
        EXPECT_EQ(finish(sink), noAudioBuffersError());
        EXPECT_EQ(writers.writer->startCalls, 1);
        expectFileNotFinished();
    }
    {
        // An append failure without an error: the writer is failed all the same.
        FakeWriters failed;
        failed.input->appendAnswers = {{false, std::nullopt}};
        auto sink = makeSink(failed);
        for (std::int64_t time : {0, 960}) deliver(sink, Buffer(time));
        std::optional<Error> error = finish(sink);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "SorvanelAudio");
        EXPECT_EQ(failed.writer->finishCalls, 0);
    }
}

TEST_F(AudioSinkTest, StreamStopErrorAfterEverythingWasWrittenFinishesTheFileAndFailsWithIt) {
    auto sink = makeSink();
    // The stop callback comes from a thread of the capture service while buffers are handled.
    std::thread capture([&] {
        for (std::int64_t i = 0; i < 50; ++i) deliver(sink, Buffer(i * 960));
        std::thread([&] { sink->didStopWithError(kStreamError); }).join();
    });
    capture.join();
    EXPECT_EQ(finish(sink), kStreamError);
    EXPECT_EQ(writers.input->appended.size(), 50u);
    expectFileFinished();
}

TEST_F(AudioSinkTest, ACallbackThatThrowsBecomesTheFailureInsteadOfVanishing) {
    writers.input->throwsOnAppend = true;
    auto sink = makeSink();
    deliver(sink, Buffer(0));
    EXPECT_EQ(finish(sink), Error("SorvanelAudio", kUnexpectedErrorCode, "std::bad_alloc"));
    expectFileFinished();
}

TEST_F(AudioSinkTest, WriterErrorAfterFinishingFailsFinish) {
    writers.writer->errorAfterFinishing = kFinishError;
    auto sink = makeSink();
    deliver(sink, Buffer(0));
    EXPECT_EQ(finish(sink), kFinishError);
    EXPECT_TRUE(writers.input->markedFinished);
    EXPECT_EQ(writers.writer->finishCalls, 1);
}

TEST_F(AudioSinkTest, BufferAfterTheDrainIsDropped) {
    // The capture platform orders its last delivery after nothing: it can come once the outcome
    // is decided, and must not create the file then.
    auto sink = makeSink();
    EXPECT_EQ(finish(sink), noAudioBuffersError());
    deliver(sink, Buffer(0));
    std::promise<void> handled;
    sink->queue()->post([&] { handled.set_value(); });
    handled.get_future().wait();
    EXPECT_EQ(writers.writer->startCalls, 0);
}

TEST_F(AudioSinkTest, DestructionNeitherFinishesTheWriterNorTouchesItAgain) {
    {
        auto sink = makeSink();
        deliver(sink, Buffer(0));
        deliver(sink, Buffer(960));
        std::promise<void> handled;
        sink->queue()->post([&] { handled.set_value(); });
        handled.get_future().wait();
    }
    EXPECT_EQ(writers.writer->startCalls, 1);
    EXPECT_EQ(writers.input->appended.size(), 2u);
    expectFileNotFinished();
}

// An interrupted start: the file is made only if audio reached the writer first, and then it is
// finished; otherwise no later buffer may make one.
TEST_F(AudioSinkTest, AnInterruptedStartLeavesNoFileUnlessAudioReachedTheWriter) {
    for (bool audioFirst : {false, true}) {
        SCOPED_TRACE(audioFirst);
        FakeWriters factory;
        auto sink = makeSink(factory);
        if (audioFirst) deliver(sink, Buffer(0));
        asio::io_context& context = contexts.emplace_back();
        auto closed = asio::co_spawn(context, sink->closeUnlessWriting(), asio::use_future);
        context.run();
        EXPECT_EQ(closed.get(), !audioFirst);
        deliver(sink, Buffer(480));
        if (audioFirst) {
            EXPECT_EQ(finish(sink), std::nullopt);
            EXPECT_EQ(factory.writer->finishCalls, 1);
        } else {
            std::promise<void> handled;
            sink->queue()->post([&] { handled.set_value(); });
            handled.get_future().wait();
            EXPECT_EQ(factory.writer->startCalls, 0);
        }
    }
}

TEST_F(AudioSinkTest, SinkReleasedByItsLastQueuedBufferGoesQuietly) {
    std::weak_ptr<AudioSink> released;
    {
        auto sink = makeSink();
        released = sink;
        std::promise<void> hold;
        std::shared_future<void> held = hold.get_future().share();
        sink->queue()->post([held] { held.wait(); });
        deliver(sink, Buffer(0));
        sink.reset();
        hold.set_value();  // the queue now holds the last reference to the sink and its queue
    }
    while (!released.expired()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace sorvanel
