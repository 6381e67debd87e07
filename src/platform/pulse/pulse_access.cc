#include "platform/pulse/pulse_access.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>

namespace sorvanel {
namespace {

bool refusedForAccess(int code) {
    return code == PA_ERR_ACCESS || code == PA_ERR_AUTHKEY;
}

// Connects, waits for the server's answer and disconnects. Bounded by the server's own answer or
// the socket's error; no server is started.
bool serverAdmitsUs() {
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return true;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "SorvanelAudio");
    bool admitted = true;
    if (context) {
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            admitted = !refusedForAccess(pa_context_errno(context));
        } else {
            for (;;) {
                const pa_context_state_t state = pa_context_get_state(context);
                if (state == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(state)) {
                    admitted = !refusedForAccess(pa_context_errno(context));
                    break;
                }
                if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
            }
        }
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    return admitted;
}

}  // namespace

bool PulseAccess::preflight() {
    return serverAdmitsUs();
}

bool PulseAccess::request() {
    return serverAdmitsUs();
}

}  // namespace sorvanel
