#pragma once

#include <string>

namespace sorvanel::testing {

// Names a typed contract case by the implementation it runs against: its kName.
struct ImplementationName {
    template <class Implementation>
    static std::string GetName(int) {
        return Implementation::kName;
    }
};

}  // namespace sorvanel::testing
