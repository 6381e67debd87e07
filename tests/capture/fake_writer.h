#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/asset_writer.h"

namespace sorvanel::testing {

// One scripted answer: the result of a call and the error the writer reports from then on.
struct Answer {
    bool succeeds = true;
    std::optional<Error> error;
};

// Records what the sink asks of it and answers from a script; unscripted calls succeed. Used on
// the sink's queue while capture runs and by `finish` after the drain, never both at once.
class FakeWriter final : public AssetWriter {
  public:
    std::deque<Answer> startAnswers;
    std::optional<Error> currentError;
    std::optional<Error> errorAfterFinishing;

    std::vector<std::shared_ptr<AssetWriterInput>> inputs;
    int startCalls = 0;
    std::vector<MediaTime> sessionStarts;
    int finishCalls = 0;
    std::thread::id finishedOn;

    ~FakeWriter() override {
        if (finisher_.joinable()) finisher_.join();
    }

    void addInput(std::shared_ptr<AssetWriterInput> input) override { inputs.push_back(input); }

    bool startWriting() override {
        ++startCalls;
        return answer(startAnswers);
    }

    void startSessionAtSourceTime(MediaTime time) override { sessionStarts.push_back(time); }

    void finishWriting(std::function<void()> completionHandler) override {
        ++finishCalls;
        // Completes on a thread of its own, as the platform's writer does.
        finisher_ = std::thread([this, handler = std::move(completionHandler)] {
            if (errorAfterFinishing) currentError = errorAfterFinishing;
            finishedOn = std::this_thread::get_id();
            handler();
        });
    }

    std::optional<Error> error() const override { return currentError; }

    bool answer(std::deque<Answer>& script) {
        if (script.empty()) return true;
        Answer next = script.front();
        script.pop_front();
        if (!next.succeeds) currentError = next.error;
        return next.succeeds;
    }

  private:
    std::thread finisher_;
};

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

    void setExpectsMediaDataInRealTime(bool value) override { realTime = value; }
    bool isReadyForMoreMediaData() const override {
        if (readyAnswers.empty()) return true;
        bool ready = readyAnswers.front();
        readyAnswers.pop_front();
        return ready;
    }
    bool appendSampleBuffer(const SampleBuffer& buffer) override {
        ++appendCalls;
        if (throwsOnAppend) throw std::bad_alloc();
        if (!writer_.answer(appendAnswers)) return false;
        appended.push_back(buffer.presentationTimeStamp());
        return true;
    }
    void markAsFinished() override { markedFinished = true; }

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
