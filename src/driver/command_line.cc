#include "driver/command_line.h"

#include <algorithm>

#include "platform/c_library.h"

namespace sorvanel {

Mode selectMode(const std::vector<std::string>& arguments) {
    const auto has = [&](std::string_view option) {
        return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
    };
    if (has("--check")) return Mode::check;
    if (has("--request-permission")) return Mode::requestPermission;
    return Mode::record;
}

std::optional<double> parseDuration(std::string_view text) {
    if (text.empty()) return std::nullopt;
    switch (text.front()) {
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case ' ':
            return std::nullopt;
        default:
            break;
    }
    // An embedded NUL would end the C string early and hide what follows it.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    // The "C" locale whatever the environment says: the decimal separator is always ".".
    std::size_t consumed = 0;
    const double value = strtodInCLocale(std::string(text), consumed);
    if (consumed == 0 || consumed != text.size()) return std::nullopt;
    return value;
}

}  // namespace sorvanel
