// libswscale's flags for the interpolation names of the command line.
#pragma once

#include <string>

namespace lorvex {

// The flags of an interpolation name (protocol/interpolation_names.hpp); throws
// std::invalid_argument for any other name.
int interpolation_flags(const std::string& name);

}  // namespace lorvex
