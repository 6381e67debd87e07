#import "platform/apple/stream_receiver.h"

#include "platform/apple/apple_native.h"
#include "platform/apple/foundation_bridge.h"

@implementation SorvanelStreamReceiver {
    std::shared_ptr<sorvanel::StreamDelegate> _delegate;
    std::shared_ptr<sorvanel::StreamOutput> _output;
}

- (instancetype)initWithDelegate:(std::shared_ptr<sorvanel::StreamDelegate>)delegate {
    self = [super init];
    if (self) _delegate = std::move(delegate);
    return self;
}

- (void)setOutput:(std::shared_ptr<sorvanel::StreamOutput>)output {
    _output = std::move(output);
}

// SCStreamOutput: called on the sample-handler queue, one buffer at a time, for each output type
// registered. The buffer is valid for the call; the writer retains what it keeps.
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    if (!_output || !sampleBuffer) return;
    @autoreleasepool {
        try {
            const sorvanel::AppleSampleBuffer buffer(sampleBuffer);
            // SCStreamOutputType's raw values are the core's: screen 0, audio 1, microphone 2.
            _output->didOutputSampleBuffer(
                buffer, static_cast<sorvanel::StreamOutputType>(static_cast<std::int64_t>(type)));
        } catch (...) {
            // The sink records its own failures and throws none; nothing may unwind into
            // ScreenCaptureKit's queue.
        }
    }
}

// SCStreamDelegate: called once on a thread of the capture service when the stream stopped on
// its own with an error (not after stopCaptureWithCompletionHandler:).
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    if (!_delegate) return;
    try {
        _delegate->didStopWithError(sorvanel::errorFrom(error));
    } catch (...) {
        // As above: the sink keeps the error for `finish`; nothing may unwind into the system.
    }
}

@end
