#pragma once

#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"

@class SorvanelStreamReceiver;

namespace sorvanel {

class AppleRunningApplication final : public RunningApplication {
  public:
    explicit AppleRunningApplication(SCRunningApplication* application)
        : application_(application) {}
    std::optional<std::string> bundleIdentifier() const override;
    SCRunningApplication* application() const { return application_; }

  private:
    SCRunningApplication* application_;
};

class AppleDisplay final : public Display {
  public:
    explicit AppleDisplay(SCDisplay* display) : display_(display) {}
    SCDisplay* display() const { return display_; }

  private:
    SCDisplay* display_;
};

class AppleShareableContent final : public ShareableContent {
  public:
    explicit AppleShareableContent(SCShareableContent* content) : content_(content) {}
    std::vector<std::shared_ptr<RunningApplication>> applications() const override;
    std::vector<std::shared_ptr<Display>> displays() const override;

  private:
    SCShareableContent* content_;
};

// One SCStream and the one receiver that is both its delegate and its audio output.
class AppleCaptureStream final : public CaptureStream {
  public:
    AppleCaptureStream(SCContentFilter* filter, SCStreamConfiguration* configuration,
                       std::shared_ptr<StreamDelegate> delegate);
    void addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override;
    void startCapture(Completion<void> completion) override;
    void stopCapture(Completion<void> completion) override;

  private:
    // Whether SCStream retains its delegate and outputs is not documented: the receiver lives as
    // long as the stream object does.
    SorvanelStreamReceiver* receiver_;
    SCStream* stream_;
    // The sample-handler queue's owner, kept while the stream may deliver onto it.
    std::shared_ptr<SerialQueue> queue_;
};

class AppleCaptureService final : public CaptureService {
  public:
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             Completion<std::shared_ptr<ShareableContent>> completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::shared_ptr<StreamDelegate> delegate) override;
};

}  // namespace sorvanel
