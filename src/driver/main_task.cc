#include "driver/main_task.h"

#include <asio/co_spawn.hpp>

#include "driver/emit.h"
#include "driver/lines.h"
#include "runtime/process.h"

namespace sorvanel {
namespace {

[[noreturn]] void endWithError(std::exception_ptr error) {
    emit(errorLine(errorFrom(error).description()));
    exitProcess(kStatusRunFailed);
}

}  // namespace

void runMainTask(PlatformRuntime& runtime, std::function<asio::awaitable<void>()> body) {
    writeLinesOn(runtime.makeSerialQueue("org.sorvanel.output"));
    asio::co_spawn(runtime.mainExecutor(), std::move(body), [](std::exception_ptr error) {
        if (error) endWithError(error);
        exitProcess(kStatusDone);
    });
    endWithError(runtime.serveMainExecutor());
}

}  // namespace sorvanel
