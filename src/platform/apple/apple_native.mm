#include "platform/apple/apple_native.h"

namespace sorvanel {

MediaTime mediaTimeFrom(CMTime time) {
    // Only a numeric time (valid, not infinite or indefinite) is a point on the timeline.
    if (!CMTIME_IS_NUMERIC(time)) return MediaTime{};
    return MediaTime{time.value, time.timescale};
}

CMTime cmTimeFrom(MediaTime time) {
    // CMTimeMake: value / timescale seconds; pure, no ownership.
    return time.isValid() ? CMTimeMake(time.value, time.timescale) : kCMTimeInvalid;
}

MediaTime AppleSampleBuffer::presentationTimeStamp() const {
    return mediaTimeFrom(CMSampleBufferGetPresentationTimeStamp(native_.sampleBuffer()));
}

}  // namespace sorvanel
