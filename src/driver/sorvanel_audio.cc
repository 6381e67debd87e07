#include "driver/sorvanel_audio.h"

#include "driver/command_line.h"
#include "lines/emit.h"
#include "lines/lines.h"
#include "runtime/awaitable.h"

namespace sorvanel {
namespace {

// The two access questions as platform operations. An answer the system could not give is an
// error, never a yes.
std::function<void(Completion<bool>)> preflight(Platform& platform) {
    return [&platform](Completion<bool> done) { platform.access.preflight(std::move(done)); };
}

std::function<void(Completion<bool>)> request(Platform& platform) {
    return [&platform](Completion<bool> done) { platform.access.request(std::move(done)); };
}

}  // namespace

asio::awaitable<void> SorvanelAudio::main(Platform& platform, Invocation& invocation,
                                          RecordingRunner record) {
    const auto& arguments = platform.arguments;
    switch (selectMode(arguments)) {
        case Mode::check:
            emit(checkLine(co_await awaitCompletion<bool>(preflight(platform))));
            co_return;
        case Mode::requestPermission:
            emit(permissionRequestLine(co_await awaitCompletion<bool>(request(platform))));
            co_return;
        case Mode::record:
            break;
    }

    if (arguments.size() != 3) invocation.endWith(usageLine(), kStatusUsage);
    const auto seconds = parseDuration(arguments[2]);
    if (!seconds || !isAcceptedDuration(*seconds)) invocation.endWith(usageLine(), kStatusUsage);

    invocation.enter(Stage::accessCheck);
    bool granted = false;
    std::exception_ptr failure;
    try {
        granted = co_await invocation.wait<bool>(preflight(platform)) ||
                  co_await invocation.wait<bool>(request(platform));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) invocation.endWith(errorLine(errorFrom(failure).description()), kStatusRunFailed);
    if (!granted) invocation.endWith(permissionRequiredLine(), kStatusPermissionRequired);
    co_await record(arguments[1], *seconds);
}

}  // namespace sorvanel
