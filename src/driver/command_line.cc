#include "driver/command_line.h"

#include <locale.h>
#include <algorithm>
#include <clocale>
#include <cstdlib>

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
    const std::string copy(text);
    // The "C" locale whatever the environment says: the decimal separator is always ".".
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end == copy.c_str() || end != copy.c_str() + copy.size()) return std::nullopt;
    return value;
}

}  // namespace sorvanel
