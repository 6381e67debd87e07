#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "driver/result.h"

namespace sorvanel {

// The compact JSON text of one result object: keys sorted at every level, no white space,
// "/" escaped, control characters escaped, other text as raw UTF-8 (invalid bytes become U+FFFD),
// numbers in their shortest round-trip form. Non-finite numbers, which JSON cannot hold, are null.
std::string serializeResult(const ResultObject& object);

// Writes one result object as one line to standard output and flushes it. Never fails.
void emit(const ResultObject& object);

// Where emitted lines go (without their line feed); tests capture them. Returns the previous one.
std::function<void(std::string_view)> replaceLineWriter(
    std::function<void(std::string_view)> writer);

}  // namespace sorvanel
