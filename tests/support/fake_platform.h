#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sorvanel::testing {

// Answers the access questions as told, at once, and counts them; an error is its answer when
// one is set.
class FakeAccess final : public ScreenCaptureAccess {
  public:
    bool preflightAnswer = true;
    bool requestAnswer = true;
    std::optional<Error> error;
    int preflights = 0;
    int requests = 0;
    void preflight(Completion<bool> completion) override {
        ++preflights;
        answer(completion, preflightAnswer);
    }
    void request(Completion<bool> completion) override {
        ++requests;
        answer(completion, requestAnswer);
    }

  private:
    void answer(const Completion<bool>& completion, bool granted) {
        if (error)
            completion.fail(*error);
        else
            completion.succeed(granted);
    }
};

// For tests that must not reach a part of the platform: any use fails the test loudly.
class UnusedCapture final : public CaptureService {
  public:
    void getShareableContent(bool, bool, Completion<std::shared_ptr<ShareableContent>>) override {
        used();
    }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                              std::shared_ptr<StreamDelegate>) override {
        used();
    }

  private:
    [[noreturn]] static void used() { throw std::logic_error("capture service used"); }
};

class UnusedWriters final : public AssetWriterFactory {
  public:
    std::shared_ptr<AssetWriter> makeWriter(const std::string&, FileType) override { used(); }
    std::shared_ptr<AssetWriterInput> makeInput(MediaType, const AudioOutputSettings&) override {
        used();
    }

  private:
    [[noreturn]] static void used() { throw std::logic_error("writer factory used"); }
};

class UnusedFiles final : public AudioFileReader {
  public:
    std::unique_ptr<AudioFile> openForReading(const std::string&) override {
        throw std::logic_error("file reader used");
    }
};

}  // namespace sorvanel::testing
