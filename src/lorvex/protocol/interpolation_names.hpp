// The interpolation names of the command line's last item but one, which the fronts check
// before any FFmpeg library is loaded and the decoder turns into libswscale's flags.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace lorvex {

inline constexpr std::array<std::string_view, 5> kInterpolationNames = {
    "BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"};

// Throws std::invalid_argument, naming the allowed names, for any other name.
void require_interpolation_name(const std::string& name);

}  // namespace lorvex
