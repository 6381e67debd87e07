#include "lines/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "platform/c_library.h"

namespace sorvanel {
namespace {

// value = 0.d1d2d3... × 10^(exponent + 1), digits without trailing zeros ("0" for zero).
struct Decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;

    // "d.ddde±x", which the C library reads back in the "C" locale. Texts are appended, never
    // built as "." + string: GCC 12 at -O2 misreads that insert as an overlapping copy.
    std::string scientific() const {
        std::string text(1, digits[0]);
        if (digits.size() > 1) text.append(".").append(digits, 1);
        return text.append("e").append(std::to_string(exponent));
    }
};

// printf's %e form, whatever radix character the process's locale would print.
Decimal parse(const char* text) {
    Decimal decimal;
    const char* p = text;
    if (*p == '-') {
        decimal.negative = true;
        ++p;
    }
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') decimal.digits += *p;
    decimal.exponent = *p == 'e' ? std::atoi(p + 1) : 0;
    while (decimal.digits.size() > 1 && decimal.digits.back() == '0') decimal.digits.pop_back();
    return decimal;
}

template <class T>
T readBack(const std::string& text) {
    std::size_t consumed = 0;
    if constexpr (std::is_same_v<T, float>)
        return strtofInCLocale(text, consumed);
    else
        return strtodInCLocale(text, consumed);
}

// The correctly rounded decimal of the fewest significant digits that reads back as the value.
template <class T>
Decimal shortestDecimal(T value) {
    constexpr int kMaxDigits = std::is_same_v<T, float> ? 9 : 17;
    char text[64];
    Decimal decimal;
    for (int digits = 1; digits <= kMaxDigits; ++digits) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, static_cast<double>(std::fabs(value)));
        decimal = parse(text);
        if (readBack<T>(decimal.scientific()) == std::fabs(value)) break;
    }
    decimal.negative = std::signbit(value);
    return decimal;
}

template <class T>
std::string shortest(T value) {
    const Decimal decimal = shortestDecimal(value);
    const int length = static_cast<int>(decimal.digits.size());
    const int scaled = decimal.exponent - (length - 1);  // value = digits × 10^scaled
    // Fixed notation where it is no longer than scientific, as std::to_chars decides.
    const int lower = length == 1 ? -3 : -(length + 3);
    const int upper = length == 1 ? 4 : 5;
    std::string out = decimal.negative ? "-" : "";
    if (lower <= scaled && scaled <= upper) {
        if (scaled >= 0) {
            // An integer: its exact digits, which may go on beyond the shortest ones (a float
            // near 1.2345e9 is 1234499968), as the nearest of the shortest texts.
            char text[64];
            std::snprintf(text, sizeof text, "%.0f", std::fabs(static_cast<double>(value)));
            out += text;
        } else if (decimal.exponent >= 0) {
            const auto point = static_cast<std::size_t>(decimal.exponent) + 1;
            out.append(decimal.digits, 0, point).append(".").append(decimal.digits, point);
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-decimal.exponent - 1), '0');
            out += decimal.digits;
        }
        return out;
    }
    out += decimal.digits[0];
    if (length > 1) out.append(".").append(decimal.digits, 1);
    char exponent[16];
    std::snprintf(exponent, sizeof exponent, "e%c%02d", decimal.exponent < 0 ? '-' : '+',
                  std::abs(decimal.exponent));
    return out + exponent;
}

}  // namespace

std::string shortestText(double value) {
    return shortest(value);
}

std::string shortestText(float value) {
    return shortest(value);
}

}  // namespace sorvanel
