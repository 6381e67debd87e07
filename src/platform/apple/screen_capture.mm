#include "platform/apple/screen_capture.h"

#include <CoreMedia/CoreMedia.h>

#include "platform/apple/apple_native.h"
#include "platform/apple/foundation_bridge.h"
#import "platform/apple/stream_receiver.h"

namespace sorvanel {
namespace {

// Completion handlers of ScreenCaptureKit run on a thread of its own. They only hand the answer
// to the core's completion, which posts it to the waiter; nothing may unwind into the system.
template <class Deliver>
void deliverFromSystemThread(Deliver&& deliver) {
    try {
        deliver();
    } catch (...) {
        // The completion could not be posted (memory exhausted); the waiter has nothing left to
        // resume it, and the system's thread nothing to tell.
    }
}

void deliverContent(const Completion<std::shared_ptr<ShareableContent>>& completion,
                    SCShareableContent* content, NSError* error) {
    deliverFromSystemThread([&] {
        if (error) {
            completion.fail(errorFrom(error));
        } else if (!content) {
            // Neither content nor error lies outside the contract; the run reports it.
            completion.succeed(std::shared_ptr<ShareableContent>());
        } else {
            completion.succeed(std::make_shared<AppleShareableContent>(content));
        }
    });
}

void deliverDone(const Completion<void>& completion, NSError* error) {
    deliverFromSystemThread([&] {
        if (error)
            completion.fail(errorFrom(error));
        else
            completion.succeed();
    });
}

SCDisplay* displayOf(const ContentFilter& filter) {
    const auto* display = dynamic_cast<const AppleDisplay*>(filter.display.get());
    if (!display)
        throw toolError(kUnexpectedErrorCode, @"The capture display is not one of this system's.");
    return display->display();
}

NSArray<SCRunningApplication*>* applicationsOf(const ContentFilter& filter) {
    NSMutableArray<SCRunningApplication*>* applications = withoutObjCExceptions(
        [&] { return [NSMutableArray arrayWithCapacity:filter.includedApplications.size()]; });
    for (const auto& included : filter.includedApplications) {
        const auto* application = dynamic_cast<const AppleRunningApplication*>(included.get());
        if (!application)
            throw toolError(kUnexpectedErrorCode,
                            @"A captured application is not one of this system's.");
        withoutObjCExceptions([&] { [applications addObject:application->application()]; });
    }
    return applications;
}

SCContentFilter* makeContentFilter(const ContentFilter& filter) {
    SCDisplay* display = displayOf(filter);
    NSArray<SCRunningApplication*>* applications = applicationsOf(filter);
    // initWithDisplay:includingApplications:exceptingWindows: the audio (and video) of the given
    // applications on that display, no window excepted. Never nil.
    return withoutObjCExceptions([&] {
        return [[SCContentFilter alloc] initWithDisplay:display
                                  includingApplications:applications
                                       exceptingWindows:@[]];
    });
}

SCStreamConfiguration* makeStreamConfiguration(const StreamConfiguration& settings) {
    return withoutObjCExceptions([&] {
        // Setters that only store their values, in the order the run gives them.
        SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
        [configuration setCapturesAudio:settings.capturesAudio];
        [configuration setExcludesCurrentProcessAudio:settings.excludesCurrentProcessAudio];
        [configuration setSampleRate:settings.sampleRate];
        [configuration setChannelCount:settings.channelCount];
        [configuration setWidth:static_cast<size_t>(settings.width)];
        [configuration setHeight:static_cast<size_t>(settings.height)];
        // CMTimeMake(1, 1): one second between frames at the least.
        [configuration setMinimumFrameInterval:cmTimeFrom(settings.minimumFrameInterval)];
        [configuration setShowsCursor:settings.showsCursor];
        return configuration;
    });
}

SCStreamOutputType outputTypeFor(StreamOutputType type) {
    switch (type) {
        case StreamOutputType::screen:
            return SCStreamOutputTypeScreen;
        case StreamOutputType::audio:
            return SCStreamOutputTypeAudio;
        case StreamOutputType::microphone:
            break;
    }
    // The microphone output came with macOS 15; this build targets 13.
    throw toolError(kUnexpectedErrorCode, @"This system has no such stream output.");
}

dispatch_queue_t dispatchQueueOf(const SerialQueue& queue) {
    const NativeQueue* native = queue.native();
    if (!native) throw toolError(kUnexpectedErrorCode, @"The queue is not a dispatch queue.");
    return native->dispatchQueue();
}

}  // namespace

std::optional<std::string> AppleRunningApplication::bundleIdentifier() const {
    // bundleIdentifier: read afresh; nil for an application without one.
    NSString* identifier = withoutObjCExceptions([&] { return application_.bundleIdentifier; });
    if (!identifier) return std::nullopt;
    return stringFrom(identifier);
}

std::vector<std::shared_ptr<RunningApplication>> AppleShareableContent::applications() const {
    // applications: the running applications in the platform's order.
    std::vector<std::shared_ptr<RunningApplication>> result;
    NSArray<SCRunningApplication*>* applications =
        withoutObjCExceptions([&] { return content_.applications; });
    for (SCRunningApplication* application in applications)
        result.push_back(std::make_shared<AppleRunningApplication>(application));
    return result;
}

std::vector<std::shared_ptr<Display>> AppleShareableContent::displays() const {
    // displays: in the platform's order; the run takes the first.
    std::vector<std::shared_ptr<Display>> result;
    NSArray<SCDisplay*>* displays = withoutObjCExceptions([&] { return content_.displays; });
    for (SCDisplay* display in displays) result.push_back(std::make_shared<AppleDisplay>(display));
    return result;
}

AppleCaptureStream::AppleCaptureStream(SCContentFilter* filter,
                                       SCStreamConfiguration* configuration,
                                       std::shared_ptr<StreamDelegate> delegate)
    : receiver_([[SorvanelStreamReceiver alloc] initWithDelegate:std::move(delegate)]),
      // initWithFilter:configuration:delegate: a stream not yet capturing; never nil. It tells
      // the delegate, on a thread of its own, when it stops with an error.
      stream_(withoutObjCExceptions([&] {
          return [[SCStream alloc] initWithFilter:filter
                                    configuration:configuration
                                         delegate:receiver_];
      })) {}

void AppleCaptureStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                         StreamOutputType type,
                                         std::shared_ptr<SerialQueue> queue) {
    const SCStreamOutputType outputType = outputTypeFor(type);
    dispatch_queue_t sampleHandlerQueue = dispatchQueueOf(*queue);
    [receiver_ setOutput:std::move(output)];
    // addStreamOutput:type:sampleHandlerQueue:error: once capture runs, buffers of that type go
    // to the receiver on that queue. NO, with the error, when the output cannot be added.
    NSError* error = nil;
    const bool added = withoutObjCExceptions([&] {
        NSError* failure = nil;
        const BOOL done = [stream_ addStreamOutput:receiver_
                                              type:outputType
                                sampleHandlerQueue:sampleHandlerQueue
                                             error:&failure];
        error = failure;
        return static_cast<bool>(done);
    });
    if (!added) throw errorFrom(error);
    queue_ = std::move(queue);
}

void AppleCaptureStream::startCapture(Completion<void> completion) {
    // startCaptureWithCompletionHandler: calls the handler once, on a thread of its own: without
    // an error once capture runs, else with the error.
    withoutObjCExceptions([&] {
        [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
          deliverDone(completion, error);
        }];
    });
}

void AppleCaptureStream::stopCapture(Completion<void> completion) {
    // stopCaptureWithCompletionHandler: calls the handler once, on a thread of its own, after the
    // last buffer was handed to the sample-handler queue; no buffer follows.
    withoutObjCExceptions([&] {
        [stream_ stopCaptureWithCompletionHandler:^(NSError* error) {
          deliverDone(completion, error);
        }];
    });
}

void AppleCaptureService::getShareableContent(
    bool excludeDesktopWindows, bool onScreenWindowsOnly,
    Completion<std::shared_ptr<ShareableContent>> completion) {
    // getShareableContentExcludingDesktopWindows:onScreenWindowsOnly:completionHandler: calls
    // the handler once, on a thread of its own, with the content or an error. It answers only
    // while the main thread serves the main queue.
    withoutObjCExceptions([&] {
        [SCShareableContent
            getShareableContentExcludingDesktopWindows:excludeDesktopWindows
                                   onScreenWindowsOnly:onScreenWindowsOnly
                                     completionHandler:^(SCShareableContent* content,
                                                         NSError* error) {
                                       deliverContent(completion, content, error);
                                     }];
    });
}

std::shared_ptr<CaptureStream> AppleCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::shared_ptr<StreamDelegate> delegate) {
    SCContentFilter* contentFilter = makeContentFilter(filter);
    SCStreamConfiguration* streamConfiguration = makeStreamConfiguration(configuration);
    return std::make_shared<AppleCaptureStream>(contentFilter, streamConfiguration,
                                                std::move(delegate));
}

}  // namespace sorvanel
