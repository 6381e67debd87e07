#include "platform/pulse/pulse_access.h"

#include <pulse/error.h>

#include "platform/pulse/pulse_connection.h"

namespace sorvanel {
namespace {

bool refusedForAccess(int code) {
    return code == PA_ERR_ACCESS || code == PA_ERR_AUTHKEY;
}

// The connection's outcome, on the loop's thread: admitted, refused for access, or no answer
// within libpulse's own limit, which is no answer at all and so never a yes.
void answer(PulseCaptureService& service, Completion<bool> completion) {
    service.connection()->connect([completion](std::optional<Error> error) {
        if (!error) return completion.succeed(true);
        if (error->code() == PA_ERR_TIMEOUT) return completion.fail(*error);
        completion.succeed(!refusedForAccess(error->code()));
    });
}

}  // namespace

void PulseAccess::preflight(Completion<bool> completion) {
    answer(service_, std::move(completion));
}

void PulseAccess::request(Completion<bool> completion) {
    answer(service_, std::move(completion));
}

}  // namespace sorvanel
