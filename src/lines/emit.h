#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "lines/result.h"
#include "platform/serial_queue.h"

namespace sorvanel {

// The compact JSON text of one result object: keys sorted at every level, no white space,
// "/" escaped, control characters escaped, other text as raw UTF-8 (invalid bytes become U+FFFD),
// numbers in their shortest round-trip form. Non-finite numbers, which JSON cannot hold, are null.
std::string serializeResult(const ResultObject& object);

// Writes one result object as one line to standard output and flushes it, in order, on the
// output queue once there is one. Never fails.
void emit(const ResultObject& object);

// From now on standard output is written on `queue`, in the order of emit, so that a reader who
// does not read blocks no step of the tool; the process's end waits until the lines are out.
void writeLinesOn(std::shared_ptr<SerialQueue> queue);

// Where emitted lines go (without their line feed); tests capture them. Returns the previous one.
std::function<void(std::string_view)> replaceLineWriter(
    std::function<void(std::string_view)> writer);

}  // namespace sorvanel
