// What a worker checks about its video's path before opening it.
#pragma once

#include <string>

namespace lorvex {

// A worker reads its video more than once (its own pass over the packets, each rewind). A
// pipe or a socket gives its bytes once, and opening a drained pipe again waits for a writer
// forever: such a path is refused with std::runtime_error ("Could not open <path>: ...").
void require_rereadable(const std::string& path);

}  // namespace lorvex
