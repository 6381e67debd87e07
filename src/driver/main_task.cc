#include "driver/main_task.h"

#include <asio/co_spawn.hpp>

#include "lines/emit.h"
#include "lines/lines.h"

namespace sorvanel {

void runMainTask(PlatformRuntime& runtime, std::function<asio::awaitable<void>(Invocation&)> body) {
    writeLinesOn(runtime.makeSerialQueue("org.sorvanel.output"));
    // Lives until the process ends, which it decides.
    Invocation invocation(runtime);
    asio::co_spawn(
        runtime.mainExecutor(), [&invocation, &body] { return body(invocation); },
        [&invocation](std::exception_ptr error) {
            if (error)
                invocation.endWith(errorLine(errorFrom(error).description()), kStatusRunFailed);
            invocation.end(kStatusDone);
        });
    invocation.endWith(errorLine(errorFrom(runtime.serveMainExecutor()).description()),
                       kStatusRunFailed);
}

}  // namespace sorvanel
