// Strict base64 (standard alphabet, padded), as Python's base64.b64encode writes it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "lorvex/protocol/command_line_error.hpp"

namespace lorvex {

// Decodes `text`, refusing anything b64encode could not have written: characters outside
// the alphabet (whitespace included), a length that is not a multiple of 4, misplaced or
// excess '=' and non-zero unused bits before the padding. Throws CommandLineError.
std::vector<std::uint8_t> decode_base64(std::string_view text);

}  // namespace lorvex
