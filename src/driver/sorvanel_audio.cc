#include "driver/sorvanel_audio.h"

#include "capture/recording_run.h"
#include "driver/command_line.h"
#include "driver/emit.h"
#include "driver/lines.h"
#include "runtime/process.h"

namespace sorvanel {

asio::awaitable<void> SorvanelAudio::main(Platform& platform, RecordingRunner record) {
    const auto& arguments = platform.arguments;
    switch (selectMode(arguments)) {
        case Mode::check:
            emit(checkLine(platform.access.preflight()));
            co_return;
        case Mode::requestPermission:
            emit(permissionRequestLine(platform.access.request()));
            co_return;
        case Mode::record:
            break;
    }

    if (arguments.size() != 3) {
        emit(usageLine());
        exitProcess(kStatusUsage);
    }
    const auto seconds = parseDuration(arguments[2]);
    if (!seconds || !isAcceptedDuration(*seconds)) {
        emit(usageLine());
        exitProcess(kStatusUsage);
    }
    // A recording request that a signal ends still ends with one line; the run takes this over.
    auto interruptions = platform.runtime.watchInterruptions([](int signal) {
        emit(errorLine(interruptedError(signal).description()));
        exitProcess(kStatusRunFailed);
    });
    if (!platform.access.preflight() && !platform.access.request()) {
        emit(permissionRequiredLine());
        exitProcess(kStatusPermissionRequired);
    }
    co_await record(arguments[1], *seconds, std::move(interruptions));
}

}  // namespace sorvanel
