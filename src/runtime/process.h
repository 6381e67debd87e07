#pragma once

#include <functional>

namespace sorvanel {

// Ends the process with a status. Every status other than the main task's normal end goes
// through here, right after the line that explains it.
[[noreturn]] void exitProcess(int status);

// Before the process ends, `waitForOutput` is called to let written lines reach standard output.
void setOutputBarrier(std::function<void()> waitForOutput);

// Tests replace the ending with one that throws, so the flow stops where the process would.
// Returns the previous function. A replacement must not return.
std::function<void(int)> replaceExitFunction(std::function<void(int)> function);

}  // namespace sorvanel
