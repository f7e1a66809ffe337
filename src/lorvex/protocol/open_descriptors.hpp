// The descriptors this process holds open, as the kernel lists them: what a worker hands the
// decoder service, what a forked decoder closes but the worker's, where a worker looks for the
// memory files its loader handed it.
#pragma once

#include <optional>
#include <vector>

namespace lorvex {

// Every descriptor open in this process, in the order /proc/self/fd lists them, the listing's
// own descriptor aside; nothing without /proc.
std::optional<std::vector<int>> open_descriptors();

}  // namespace lorvex
