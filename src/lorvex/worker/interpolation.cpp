#include "lorvex/worker/interpolation.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

#include "lorvex/protocol/interpolation_names.hpp"

namespace lorvex {

int interpolation_flags(const std::string& name) {
    require_interpolation_name(name);
    if (name == "BILINEAR") return SWS_BILINEAR;
    if (name == "NEAREST") return SWS_POINT;
    if (name == "BICUBIC") return SWS_BICUBIC;
    if (name == "AREA") return SWS_AREA;
    return SWS_LANCZOS;
}

}  // namespace lorvex
