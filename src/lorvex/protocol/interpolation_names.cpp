#include "lorvex/protocol/interpolation_names.hpp"

#include <algorithm>
#include <stdexcept>

namespace lorvex {

void require_interpolation_name(const std::string& name) {
    if (std::find(kInterpolationNames.begin(), kInterpolationNames.end(), name) !=
        kInterpolationNames.end()) {
        return;
    }
    throw std::invalid_argument("unknown interpolation '" + name +
                                "' (expected BILINEAR, NEAREST, BICUBIC, AREA or LANCZOS)");
}

}  // namespace lorvex
