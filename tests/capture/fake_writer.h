#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/asset_writer.h"
#include "support/violation.h"

namespace sorvanel::testing {

// One scripted answer: whether the call succeeds, and the error of the writer that it failed.
struct Answer {
    bool succeeds = true;
    std::optional<Error> error;
};

// AVAssetWriter's states, with its raw values.
enum class WriterStatus { unknown = 0, writing = 1, completed = 2, failed = 3 };

// Records what the sink asks of it, answers from a script (unscripted calls succeed) and keeps
// AVAssetWriter's documented rules, the strictest of the platforms': inputs are added and
// writing starts only from the unknown status; one session, started after writing started;
// appends only while writing, after the session start and before the input is marked finished;
// marking and finishing only while writing. A failure, whichever call reports it, leaves the
// writer failed with its error for good. Anything else is a violation: the test fails and the
// call throws, as the framework raises.
class FakeWriter final : public AssetWriter {
  public:
    std::deque<Answer> startAnswers;
    std::optional<Error> errorAfterFinishing;  // finishing fails with it

    std::vector<std::shared_ptr<AssetWriterInput>> inputs;
    int startCalls = 0;
    std::vector<MediaTime> sessionStarts;
    int finishCalls = 0;
    std::thread::id finishedOn;

    ~FakeWriter() override {
        if (finisher_.joinable()) finisher_.join();
    }

    void addInput(std::shared_ptr<AssetWriterInput> input) override {
        require(status() == WriterStatus::unknown, "addInput");
        inputs.push_back(input);
    }

    bool startWriting() override {
        ++startCalls;
        require(status() == WriterStatus::unknown, "startWriting");
        Answer answer = next(startAnswers);
        if (!answer.succeeds) {
            fail(answer.error);
            return false;
        }
        setStatus(WriterStatus::writing);
        return true;
    }

    void startSessionAtSourceTime(MediaTime time) override {
        require(status() == WriterStatus::writing && sessionStarts.empty(),
                "startSessionAtSourceTime:");
        sessionStarts.push_back(time);
    }

    void finishWriting(std::function<void()> completionHandler) override {
        require(status() == WriterStatus::writing && !finishing(),
                "finishWritingWithCompletionHandler:");
        ++finishCalls;
        {
            std::lock_guard lock(mutex_);
            finishing_ = true;
        }
        // Completes on a thread of its own, as the platform's writer does.
        finisher_ = std::thread([this, handler = std::move(completionHandler)] {
            if (errorAfterFinishing)
                fail(errorAfterFinishing);
            else
                setStatus(WriterStatus::completed);
            finishedOn = std::this_thread::get_id();
            handler();
        });
    }

    std::optional<Error> error() const override {
        std::lock_guard lock(mutex_);
        return error_;
    }

    // The writer fails on its own while writing, as with a full disk: no call reports it, the
    // input just stops being ready.
    void failOnItsOwn(Error error) {
        require(status() == WriterStatus::writing, "(a failure while writing)");
        fail(std::move(error));
    }

    WriterStatus status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }
    bool finishing() const {
        std::lock_guard lock(mutex_);
        return finishing_;
    }
    bool sessionStarted() const { return !sessionStarts.empty(); }

    // The result of a scripted call; a failure fails the writer.
    bool answer(std::deque<Answer>& script) {
        Answer answer = next(script);
        if (!answer.succeeds) fail(answer.error);
        return answer.succeeds;
    }

    void require(bool allowed, const std::string& call) const {
        if (!allowed)
            violation(call + ": cannot call method when status is " +
                      std::to_string(static_cast<int>(status())));
    }

  private:
    static Answer next(std::deque<Answer>& script) {
        if (script.empty()) return {};
        Answer answer = script.front();
        script.pop_front();
        return answer;
    }
    void setStatus(WriterStatus status) {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    void fail(std::optional<Error> error) {
        std::lock_guard lock(mutex_);
        status_ = WriterStatus::failed;
        error_ = std::move(error);
    }

    mutable std::mutex mutex_;
    WriterStatus status_ = WriterStatus::unknown;
    std::optional<Error> error_;
    bool finishing_ = false;
    std::thread finisher_;
};

// The writer's input, under the same rules: ready only while writing and not marked finished.
class FakeInput final : public AssetWriterInput {
  public:
    explicit FakeInput(FakeWriter& writer) : writer_(writer) {}

    mutable std::deque<bool> readyAnswers;
    std::deque<Answer> appendAnswers;

    bool realTime = false;
    bool throwsOnAppend = false;      // as an encoder out of memory would
    std::vector<MediaTime> appended;  // presentation times of the buffers taken
    int appendCalls = 0;
    bool markedFinished = false;

    void setExpectsMediaDataInRealTime(bool value) override {
        writer_.require(writer_.status() == WriterStatus::unknown,
                        "setExpectsMediaDataInRealTime:");
        realTime = value;
    }
    bool isReadyForMoreMediaData() const override {
        if (writer_.status() != WriterStatus::writing || markedFinished || writer_.finishing())
            return false;
        if (readyAnswers.empty()) return true;
        bool ready = readyAnswers.front();
        readyAnswers.pop_front();
        return ready;
    }
    bool appendSampleBuffer(const SampleBuffer& buffer) override {
        ++appendCalls;
        writer_.require(writer_.status() == WriterStatus::writing && writer_.sessionStarted() &&
                            !markedFinished && !writer_.finishing(),
                        "appendSampleBuffer:");
        if (throwsOnAppend) throw std::bad_alloc();
        if (!writer_.answer(appendAnswers)) return false;
        appended.push_back(buffer.presentationTimeStamp());
        return true;
    }
    void markAsFinished() override {
        writer_.require(writer_.status() == WriterStatus::writing && !writer_.finishing(),
                        "markAsFinished");
        markedFinished = true;
    }

  private:
    FakeWriter& writer_;
};

// Hands out one fake writer and its input, and records what it was asked for.
class FakeWriters final : public AssetWriterFactory {
  public:
    std::shared_ptr<FakeWriter> writer = std::make_shared<FakeWriter>();
    std::shared_ptr<FakeInput> input = std::make_shared<FakeInput>(*writer);
    std::optional<Error> creationError;

    std::vector<std::pair<std::string, FileType>> writersMade;
    std::vector<std::pair<MediaType, AudioOutputSettings>> inputsMade;

    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) override {
        writersMade.emplace_back(path, fileType);
        if (creationError) throw *creationError;
        return writer;
    }
    std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                                const AudioOutputSettings& settings) override {
        inputsMade.emplace_back(mediaType, settings);
        return input;
    }
};

}  // namespace sorvanel::testing
