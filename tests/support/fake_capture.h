#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/capture.h"
#include "platform/serial_queue.h"
#include "support/joining_thread.h"

namespace sorvanel::testing {

class FakeApplication final : public RunningApplication {
  public:
    explicit FakeApplication(std::optional<std::string> identifier)
        : identifier_(std::move(identifier)) {}
    std::optional<std::string> bundleIdentifier() const override { return identifier_; }

  private:
    std::optional<std::string> identifier_;
};

class FakeDisplay final : public Display {};

// SCStream's state errors: a start of a stream that was started, a stop of one that is not
// running (never started, stopped, or stopped by the system).
inline const char* const kStreamErrorDomain = "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
inline Error attemptToStartError() {
    return Error(kStreamErrorDomain, -3807, "The stream is already running.");
}
inline Error attemptToStopError() {
    return Error(kStreamErrorDomain, -3808, "The stream is not running.");
}

// A scripted capture service. It completes from threads of its own, as a platform does, and
// keeps a log of what it was asked in order. Its stream keeps SCStream's documented rules: one
// start; a stop only of a running stream, else the stop fails with a state error; the system may
// stop the stream on any thread at any time, during the start and the stop included; buffers
// may arrive until the stop completes. Stopping a stream after its delegate heard that the system
// stopped it fails the test as well.
class FakeCaptureService final : public CaptureService {
  public:
    struct Content final : ShareableContent {
        std::vector<std::shared_ptr<RunningApplication>> apps;
        std::vector<std::shared_ptr<Display>> screens;
        mutable bool displaysRead = false;
        std::vector<std::shared_ptr<RunningApplication>> applications() const override {
            return apps;
        }
        std::vector<std::shared_ptr<Display>> displays() const override {
            displaysRead = true;
            return screens;
        }
    };

    class Stream final : public CaptureStream {
      public:
        explicit Stream(FakeCaptureService& service) : service_(service) {}

        void addStreamOutput(std::shared_ptr<StreamOutput> newOutput, StreamOutputType type,
                             std::shared_ptr<SerialQueue> newQueue) override {
            service_.log("addStreamOutput");
            if (service_.outputError) throw *service_.outputError;
            outputType = type;
            output = std::move(newOutput);
            queue = std::move(newQueue);
        }
        void startCapture(Completion<void> completion) override {
            service_.log("startCapture");
            std::optional<Error> error = service_.startError;
            {
                std::lock_guard lock(mutex_);
                if (state_ != State::idle) error = attemptToStartError();
                if (!error) state_ = State::running;
            }
            run(completion, error, service_.whileStarting, service_.whileRunning);
        }
        void stopCapture(Completion<void> completion) override {
            service_.log("stopCapture");
            std::optional<Error> error = service_.stopError;
            {
                std::lock_guard lock(mutex_);
                if (toldStopped_)
                    ADD_FAILURE() << "out of order: stopCapture after the delegate heard that "
                                     "the system stopped the stream";
                if (state_ != State::running) error = attemptToStopError();
                if (state_ == State::running) state_ = State::stopping;
            }
            run(completion, error, service_.whileStopping, nullptr, /*stop=*/true);
        }

        // The system stops the stream (the person's menu-bar control, a lost connection) and
        // tells the delegate, on the calling thread.
        void stopBySystem(const Error& error) {
            {
                std::lock_guard lock(mutex_);
                state_ = State::stopped;
            }
            delegate->didStopWithError(error);
            std::lock_guard lock(mutex_);
            toldStopped_ = true;
        }

        // Hands a buffer to the registered output on its queue, as the platform does.
        template <class Buffer>
        void deliver(std::shared_ptr<Buffer> buffer,
                     StreamOutputType type = StreamOutputType::audio) {
            queue->post(
                [out = output, buffer, type] { out->didOutputSampleBuffer(*buffer, type); });
        }

        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
        std::optional<StreamOutputType> outputType;
        std::shared_ptr<StreamDelegate> delegate;
        ContentFilter filter;
        StreamConfiguration configuration;

      private:
        enum class State { idle, running, stopping, stopped };

        // On a thread of the platform's: `during` before the completion, `after` once it
        // succeeded. A stop that the system overtook fails with the state error.
        void run(Completion<void> completion, std::optional<Error> error,
                 std::function<void(Stream&)> during, std::function<void(Stream&)> after,
                 bool stop = false) {
            threads_.emplace_back([this, completion, error, during, after, stop]() mutable {
                if (during && !error) during(*this);
                if (stop && !error) {
                    std::lock_guard lock(mutex_);
                    if (state_ != State::stopping) error = attemptToStopError();
                    state_ = State::stopped;
                }
                if (error) {
                    completion.fail(*error);
                    return;
                }
                completion.succeed();
                if (after) after(*this);
            });
        }

        FakeCaptureService& service_;
        std::mutex mutex_;
        State state_ = State::idle;
        bool toldStopped_ = false;
        std::vector<JoiningThread> threads_;
    };

    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             Completion<std::shared_ptr<ShareableContent>> completion) override {
        log("getShareableContent");
        askedExcludeDesktopWindows = excludeDesktopWindows;
        askedOnScreenWindowsOnly = onScreenWindowsOnly;
        threads_.emplace_back([this, completion] {
            if (contentError)
                completion.fail(*contentError);
            else
                completion.succeed(std::static_pointer_cast<ShareableContent>(content));
        });
    }

    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::shared_ptr<StreamDelegate> delegate) override {
        log("makeStream");
        stream = std::make_shared<Stream>(*this);
        stream->filter = filter;
        stream->configuration = configuration;
        stream->delegate = std::move(delegate);
        return stream;
    }

    void addApplication(std::optional<std::string> identifier) {
        content->apps.push_back(std::make_shared<FakeApplication>(std::move(identifier)));
    }

    void log(std::string event) {
        std::lock_guard lock(mutex_);
        events.push_back(std::move(event));
    }

    std::shared_ptr<Content> content = std::make_shared<Content>();
    std::optional<Error> contentError, outputError, startError, stopError;
    // Run on the platform's thread: before the start completes, right after it completed, and
    // before the stop completes. Buffers, the system's stop.
    std::function<void(Stream&)> whileStarting, whileRunning, whileStopping;
    std::shared_ptr<Stream> stream;
    std::vector<std::string> events;
    bool askedExcludeDesktopWindows = false;
    bool askedOnScreenWindowsOnly = true;

    ~FakeCaptureService() override {
        threads_.clear();
        stream.reset();
    }

  private:
    std::mutex mutex_;
    std::vector<JoiningThread> threads_;
};

}  // namespace sorvanel::testing
