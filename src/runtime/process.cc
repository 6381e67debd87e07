#include "runtime/process.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sorvanel {
namespace {
std::function<void(int)>& exitFunction() {
    // The line is out once stdout is flushed. _Exit, not exit: the capture, queue and writer
    // threads still run, and static destructors would race them; the system reclaims the rest.
    static std::function<void(int)> function = [](int status) {
        std::fflush(stdout);
        std::_Exit(status);
    };
    return function;
}
}  // namespace

void exitProcess(int status) {
    exitFunction()(status);
    std::abort();
}

std::function<void(int)> replaceExitFunction(std::function<void(int)> function) {
    return std::exchange(exitFunction(), std::move(function));
}

}  // namespace sorvanel
