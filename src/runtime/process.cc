#include "runtime/process.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sorvanel {
namespace {
std::function<void(int)>& exitFunction() {
    static std::function<void(int)> function = [](int status) {
        std::fflush(stdout);
        std::exit(status);
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
