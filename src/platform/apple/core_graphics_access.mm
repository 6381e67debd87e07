#include "platform/apple/core_graphics_access.h"

#include <CoreGraphics/CoreGraphics.h>

namespace sorvanel {

void CoreGraphicsAccess::preflight(Completion<bool> completion) {
    // CGPreflightScreenCaptureAccess: any thread; answers at once whether access is granted and
    // never shows a prompt.
    completion.succeed(CGPreflightScreenCaptureAccess());
}

void CoreGraphicsAccess::request(Completion<bool> completion) {
    // CGRequestScreenCaptureAccess: any thread; returns at once whether access is granted. When it
    // is not, the system may show its prompt (once per app; later in System Settings); a grant
    // given there counts for processes started after it.
    completion.succeed(CGRequestScreenCaptureAccess());
}

}  // namespace sorvanel
