#pragma once

// The platform's own objects behind the core's opaque handles: Objective-C++ only.

#include <CoreMedia/CoreMedia.h>
#include <dispatch/dispatch.h>

#include "platform/media.h"
#include "platform/serial_queue.h"

namespace sorvanel {

// A dispatch queue, which ScreenCaptureKit takes as the queue it delivers sample buffers on.
class NativeQueue {
  public:
    explicit NativeQueue(dispatch_queue_t queue) : queue_(queue) {}
    dispatch_queue_t dispatchQueue() const { return queue_; }

  private:
    dispatch_queue_t queue_;  // strong under ARC
};

// A CMSampleBuffer, retained for as long as this object lives: the writer appends it unchanged.
class NativeSampleBuffer {
  public:
    // CFRetain: the caller keeps its own reference; `buffer` must not be null.
    explicit NativeSampleBuffer(CMSampleBufferRef buffer) : buffer_(buffer) { CFRetain(buffer_); }
    ~NativeSampleBuffer() { CFRelease(buffer_); }
    NativeSampleBuffer(const NativeSampleBuffer&) = delete;
    NativeSampleBuffer& operator=(const NativeSampleBuffer&) = delete;

    CMSampleBufferRef sampleBuffer() const { return buffer_; }

  private:
    CMSampleBufferRef buffer_;
};

// A sample buffer that ScreenCaptureKit delivered, as the core sees it. Lives for one sample
// callback; the writer retains what it keeps.
class AppleSampleBuffer final : public SampleBuffer {
  public:
    explicit AppleSampleBuffer(CMSampleBufferRef buffer) : native_(buffer) {}

    // CMSampleBufferIsValid: false once the buffer was invalidated.
    bool isValid() const override { return CMSampleBufferIsValid(native_.sampleBuffer()); }
    // CMSampleBufferDataIsReady: whether the data may be read now.
    bool dataIsReady() const override { return CMSampleBufferDataIsReady(native_.sampleBuffer()); }
    // CMSampleBufferGetPresentationTimeStamp: kCMTimeInvalid when the buffer has none.
    MediaTime presentationTimeStamp() const override;
    const NativeSampleBuffer* native() const override { return &native_; }

  private:
    NativeSampleBuffer native_;
};

// CMTime and the core's MediaTime: value over timescale; an invalid time has timescale 0.
MediaTime mediaTimeFrom(CMTime time);
CMTime cmTimeFrom(MediaTime time);

}  // namespace sorvanel
