// The interpolation names of the command line. Only libswscale's flag values are used here, not
// the library itself: the worker programs check a name before they load it.
#pragma once

#include <string>

namespace lorvex {

// The libswscale flags of an interpolation name ("BILINEAR", "NEAREST", "BICUBIC", "AREA",
// "LANCZOS"); throws std::invalid_argument for any other name.
int interpolation_flags(const std::string& name);

}  // namespace lorvex
