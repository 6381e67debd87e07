#pragma once

#include <cstddef>
#include <string>

namespace sorvanel {

// The C library's strtod evaluated in the "C" locale, whatever the process's locale: converts
// the start of `text` and sets `consumed` to the characters the conversion took (0 when none).
double strtodInCLocale(const std::string& text, std::size_t& consumed);

// strtof, the same way.
float strtofInCLocale(const std::string& text, std::size_t& consumed);

}  // namespace sorvanel
