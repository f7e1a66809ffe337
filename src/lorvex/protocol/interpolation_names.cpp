#include "lorvex/protocol/interpolation_names.hpp"

#include <algorithm>
#include <stdexcept>

namespace lorvex {

bool is_interpolation_name(std::string_view name) {
    return std::find(kInterpolationNames.begin(), kInterpolationNames.end(), name) !=
           kInterpolationNames.end();
}

std::string listed_interpolation_names(std::string_view before_last) {
    std::string listed;
    for (std::size_t i = 0; i < kInterpolationNames.size(); ++i) {
        if (i > 0) listed += i + 1 == kInterpolationNames.size() ? before_last : ", ";
        listed += kInterpolationNames[i];
    }
    return listed;
}

void require_interpolation_name(const std::string& name) {
    if (is_interpolation_name(name)) return;
    throw std::invalid_argument("unknown interpolation '" + name + "' (expected " +
                                listed_interpolation_names(" or ") + ")");
}

}  // namespace lorvex
