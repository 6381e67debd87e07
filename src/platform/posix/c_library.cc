#include "platform/c_library.h"

#include <locale.h>
#include <stdlib.h>
// Darwin declares the _l functions in <xlocale.h>; glibc has them in the headers above.
#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif

namespace sorvanel {

namespace {
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}
}  // namespace

double strtodInCLocale(const std::string& text, std::size_t& consumed) {
    char* end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale());
    consumed = static_cast<std::size_t>(end - text.c_str());
    return value;
}

float strtofInCLocale(const std::string& text, std::size_t& consumed) {
    char* end = nullptr;
    const float value = strtof_l(text.c_str(), &end, cLocale());
    consumed = static_cast<std::size_t>(end - text.c_str());
    return value;
}

}  // namespace sorvanel
