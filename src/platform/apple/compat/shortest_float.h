#pragma once

// Shortest round-trip formatting of float and double, in the form std::to_chars gives without a
// format: the fewest significant digits that read back as the same value, in fixed notation
// unless scientific is shorter. Here only for SDKs whose libc++ lacks floating-point to_chars
// (see the charconv beside it); plain C++ so that it is checked against a real to_chars on Linux.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace sorvanel::compat {

struct ShortestDecimal {
    bool negative = false;
    std::string digits;  // significant digits, no leading or trailing zeros (just "0" for zero)
    int exponent = 0;    // of the first digit: value = 0.d1d2... × 10^(exponent + 1)
};

// `readBack(text)` converts a "%.*e" text back to the value's type in the "C" locale;
// `print(buffer, size, format, ...)` is snprintf in the "C" locale.
template <class T, class Print, class ReadBack>
ShortestDecimal shortestDecimal(T value, Print print, ReadBack readBack) {
    constexpr int kMaxDigits = std::is_same_v<T, float> ? 9 : 17;
    char text[64];
    for (int digits = 1; digits <= kMaxDigits; ++digits) {
        print(text, sizeof text, "%.*e", digits - 1, static_cast<double>(value));
        // The correctly rounded decimal of this many digits; the first that reads back is the
        // shortest.
        if (readBack(text) == value || digits == kMaxDigits) break;
    }
    ShortestDecimal decimal;
    const char* p = text;
    if (*p == '-') {
        decimal.negative = true;
        ++p;
    }
    for (; *p && *p != 'e'; ++p)
        if (*p != '.') decimal.digits += *p;
    decimal.exponent = *p == 'e' ? std::atoi(p + 1) : 0;
    while (decimal.digits.size() > 1 && decimal.digits.back() == '0') decimal.digits.pop_back();
    return decimal;
}

// The text that std::to_chars(first, last, value) writes. `printFixed` prints "%.0f" (the exact
// integer value) for values whose fixed form has zeros beyond the shortest digits.
template <class T, class Print, class ReadBack>
std::string shortestText(T value, Print print, ReadBack readBack) {
    const ShortestDecimal decimal = shortestDecimal(value, print, readBack);
    const int length = static_cast<int>(decimal.digits.size());
    // value = digits × 10^scaled
    const int scaled = decimal.exponent - (length - 1);
    const int lower = length == 1 ? -3 : -(length + 3);
    const int upper = length == 1 ? 4 : 5;
    std::string out = decimal.negative ? "-" : "";
    if (lower <= scaled && scaled <= upper) {
        if (scaled >= 0) {
            // An integer: its exact digits, which may go beyond the shortest ones.
            char text[64];
            print(text, sizeof text, "%.0f",
                  static_cast<double>(decimal.negative ? -value : value));
            out += text;
        } else if (decimal.exponent >= 0) {
            out += decimal.digits.substr(0, static_cast<std::size_t>(decimal.exponent) + 1);
            out += '.';
            out += decimal.digits.substr(static_cast<std::size_t>(decimal.exponent) + 1);
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-decimal.exponent - 1), '0');
            out += decimal.digits;
        }
        return out;
    }
    out += decimal.digits[0];
    if (length > 1) {
        out += '.';
        out += decimal.digits.substr(1);
    }
    char exponent[16];
    std::snprintf(exponent, sizeof exponent, "e%c%02d", decimal.exponent < 0 ? '-' : '+',
                  decimal.exponent < 0 ? -decimal.exponent : decimal.exponent);
    out += exponent;
    return out;
}

}  // namespace sorvanel::compat
