#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace sorvanel {

struct ResultObject;

// The seven kinds a result line can hold; there is no null.
using ResultValue = std::variant<bool, std::string, double, std::uint32_t, std::vector<std::string>,
                                 std::vector<float>, std::shared_ptr<const ResultObject>>;

// One line's worth of output. Keys are unique and kept in byte order, which is how they print.
struct ResultObject {
    std::map<std::string, ResultValue> entries;

    ResultObject() = default;
    ResultObject(std::initializer_list<std::pair<const std::string, ResultValue>> list)
        : entries(list) {}
};

inline ResultValue nested(ResultObject object) {
    return std::make_shared<const ResultObject>(std::move(object));
}

}  // namespace sorvanel
