#pragma once

#include <string>

namespace sorvanel {

// A short decimal text that reads back as the same value, in fixed notation unless scientific is
// shorter: the form of std::to_chars, which the C++ library of macOS 13 lacks for floating point.
// The digits are the fewest that printf's rounding gives; just above a power of two, where only
// the other rounding of a tie reads back, that is one digit more than to_chars writes (2^-24 is
// 5.9604644775390625e-08, not 5.960464477539063e-08). The value must be finite.
std::string shortestText(double value);
std::string shortestText(float value);

}  // namespace sorvanel
