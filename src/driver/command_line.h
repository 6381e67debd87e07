#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanel {

enum class Mode { check, requestPermission, record };

// Options are searched over the whole argument vector, element 0 included; --check wins.
Mode selectMode(const std::vector<std::string>& arguments);

// The duration text as a number: strtod in the "C" locale, no leading white space, nothing after
// the number. Range is not checked here.
std::optional<double> parseDuration(std::string_view text);

inline constexpr double kMinimumDuration = 1.0;
inline constexpr double kMaximumDuration = 30.0;

// Within 1..30 inclusive; NaN is not.
inline bool isAcceptedDuration(double seconds) {
    return seconds >= kMinimumDuration && seconds <= kMaximumDuration;
}

}  // namespace sorvanel
