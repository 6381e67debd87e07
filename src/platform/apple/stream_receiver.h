#pragma once

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>

#include "platform/capture.h"

// The one object that ScreenCaptureKit talks to for a stream: its output (sample buffers, on the
// queue given with the output) and its delegate (the stop with an error, on a thread of the
// capture service). It forwards both to the core's sink and lets no C++ exception through.
@interface SorvanelStreamReceiver : NSObject <SCStreamOutput, SCStreamDelegate>

- (instancetype)initWithDelegate:(std::shared_ptr<sorvanel::StreamDelegate>)delegate
    NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;

// Set before the output is registered with the stream, so before any buffer arrives.
- (void)setOutput:(std::shared_ptr<sorvanel::StreamOutput>)output;

@end
