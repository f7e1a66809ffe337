// The interpolation names of the command line's last item but one and of the engine's jobs,
// which the fronts check before any FFmpeg library is loaded and the decoder turns into
// libswscale's flags. Every message that lists them is made from kInterpolationNames.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace lorvex {

inline constexpr std::array<std::string_view, 5> kInterpolationNames = {
    "BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"};

bool is_interpolation_name(std::string_view name);

// The names in their order, separated by ", ", with `before_last` before the last one:
// "BILINEAR, NEAREST, BICUBIC, AREA or LANCZOS" for " or ".
std::string listed_interpolation_names(std::string_view before_last);

// Throws std::invalid_argument, naming the allowed names, for any other name.
void require_interpolation_name(const std::string& name);

}  // namespace lorvex
