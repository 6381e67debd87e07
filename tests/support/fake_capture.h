#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// A scripted capture service. It completes from threads of its own, as a platform does, and
// keeps a log of what it was asked in order.
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
            finishOnAnotherThread(completion, service_.startError, service_.whileRunning);
        }
        void stopCapture(Completion<void> completion) override {
            service_.log("stopCapture");
            finishOnAnotherThread(completion, service_.stopError, nullptr);
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
        void finishOnAnotherThread(Completion<void> completion, std::optional<Error> error,
                                   std::function<void(Stream&)> after) {
            threads_.emplace_back([this, completion, error, after] {
                if (error) {
                    completion.fail(*error);
                    return;
                }
                completion.succeed();
                if (after) after(*this);
            });
        }

        FakeCaptureService& service_;
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
    // Runs on the platform's thread right after the start completed: buffers, stop notices.
    std::function<void(Stream&)> whileRunning;
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
