#include "lorvex/core/interpolation.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

#include <stdexcept>

namespace lorvex {

int interpolation_flags(const std::string& name) {
    if (name == "BILINEAR") return SWS_BILINEAR;
    if (name == "NEAREST") return SWS_POINT;
    if (name == "BICUBIC") return SWS_BICUBIC;
    if (name == "AREA") return SWS_AREA;
    if (name == "LANCZOS") return SWS_LANCZOS;
    throw std::invalid_argument("unknown interpolation '" + name +
                                "' (expected BILINEAR, NEAREST, BICUBIC, AREA or LANCZOS)");
}

}  // namespace lorvex
