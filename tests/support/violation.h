#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "runtime/error.h"

namespace sorvanel {

// Shows an Error in a failed expectation by what it says.
inline void PrintTo(const Error& error, std::ostream* out) {
    *out << error.domain() << " " << error.code() << " \"" << error.description() << "\"";
}

namespace testing {

// A call that the platform's documentation forbids in the state it was made in. The real
// framework raises, and the backend's exception guard turns the raise into an Error with the
// raise's text: the double fails the test and throws that Error, so the core sees what it would
// see on that platform.
[[noreturn]] inline void violation(const std::string& what) {
    ADD_FAILURE() << "out of order: " << what;
    throw Error(kErrorDomain, kUnexpectedErrorCode, what);
}

}  // namespace testing
}  // namespace sorvanel
