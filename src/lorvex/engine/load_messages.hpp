// The words of a load's failures, said the same way by every loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lorvex::engine {

// "0-15, 40, 52-60": runs of consecutive numbers (in increasing order), the first `listed` of
// them, then how many more there are; "none" for none.
std::string runs_of(const std::vector<std::int64_t>& numbers, std::size_t listed = 12);

std::string joined(const std::vector<std::string>& parts, const std::string& separator);

}  // namespace lorvex::engine
