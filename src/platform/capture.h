#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media.h"
#include "platform/serial_queue.h"
#include "runtime/completion.h"
#include "runtime/error.h"

namespace sorvanel {

// A running application that the capture service can capture.
class RunningApplication {
  public:
    virtual ~RunningApplication() = default;
    // Its bundle identifier, or none; read afresh on every call.
    virtual std::optional<std::string> bundleIdentifier() const = 0;
};

// A display (on Linux: a playback device) that a capture is anchored to.
class Display {
  public:
    virtual ~Display() = default;
};

// What the capture service offers at the moment of the query.
class ShareableContent {
  public:
    virtual ~ShareableContent() = default;
    // In the platform's order.
    virtual std::vector<std::shared_ptr<RunningApplication>> applications() const = 0;
    virtual std::vector<std::shared_ptr<Display>> displays() const = 0;
};

// The audio of these applications, anchored to this display.
struct ContentFilter {
    std::shared_ptr<Display> display;
    std::vector<std::shared_ptr<RunningApplication>> includedApplications;
};

struct StreamConfiguration {
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    int width = 0;
    int height = 0;
    MediaTime minimumFrameInterval;
    bool showsCursor = true;
};

// Receives sample buffers on the queue it was registered with.
class StreamOutput {
  public:
    virtual ~StreamOutput() = default;
    virtual void didOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType type) = 0;
};

// Hears that the stream stopped with an error, on a thread of the capture service.
class StreamDelegate {
  public:
    virtual ~StreamDelegate() = default;
    virtual void didStopWithError(const Error& error) = 0;
};

class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    // Buffers of `type` go to `output` on `queue` once capture runs. Throws Error on refusal.
    virtual void addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                 std::shared_ptr<SerialQueue> queue) = 0;
    // Each completion is called exactly once, on any thread.
    virtual void startCapture(Completion<void> completion) = 0;
    // Completes after the last buffer was handed to the queue; no buffer follows it.
    virtual void stopCapture(Completion<void> completion) = 0;
};

class CaptureService {
  public:
    virtual ~CaptureService() = default;
    virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                     Completion<std::shared_ptr<ShareableContent>> completion) = 0;
    virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::shared_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace sorvanel
