#include "platform/apple/core_graphics_access.h"

#include <CoreGraphics/CoreGraphics.h>

namespace sorvanel {

bool CoreGraphicsAccess::preflight() {
    // CGPreflightScreenCaptureAccess: any thread; answers at once whether access is granted and
    // never shows a prompt.
    return CGPreflightScreenCaptureAccess();
}

bool CoreGraphicsAccess::request() {
    // CGRequestScreenCaptureAccess: any thread; returns at once whether access is granted. When it
    // is not, the system may show its prompt (once per app; later in System Settings); a grant
    // given there counts for processes started after it.
    return CGRequestScreenCaptureAccess();
}

}  // namespace sorvanel
