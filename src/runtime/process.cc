#include "runtime/process.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sorvanel {
namespace {
std::function<void()>& outputBarrier() {
    static std::function<void()> barrier;
    return barrier;
}

std::function<void(int)>& exitFunction() {
    // The line is out once stdout is flushed. _Exit, not exit: the capture, queue and writer
    // threads still run, and static destructors would race them; the system reclaims the rest.
    static std::function<void(int)> function = [](int status) {
        if (outputBarrier()) outputBarrier()();
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

void setOutputBarrier(std::function<void()> waitForOutput) {
    outputBarrier() = std::move(waitForOutput);
}

std::function<void(int)> replaceExitFunction(std::function<void(int)> function) {
    return std::exchange(exitFunction(), std::move(function));
}

}  // namespace sorvanel
