#include "capture/recording_run.h"

#include "driver/emit.h"
#include "driver/lines.h"
#include "runtime/process.h"

namespace sorvanel {

asio::awaitable<void> recordingRun(Platform&, std::string, double) {
    // Not built yet: never claim a recording that did not happen.
    emit(errorLine("Recording is not available in this build."));
    exitProcess(kStatusRunFailed);
    co_return;
}

}  // namespace sorvanel
