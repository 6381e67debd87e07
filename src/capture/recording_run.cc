#include "capture/recording_run.h"

#include "driver/emit.h"
#include "driver/lines.h"
#include "runtime/process.h"

namespace sorvanel {

bool isAbletonLive(const std::optional<std::string>&) { return false; }
std::chrono::nanoseconds recordingWait(double seconds) { return std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9)); }

asio::awaitable<void> recordingRun(Platform&, std::string, double) {
    // Not built yet: never claim a recording that did not happen.
    emit(errorLine("Recording is not available in this build."));
    exitProcess(kStatusRunFailed);
    co_return;
}

}  // namespace sorvanel
