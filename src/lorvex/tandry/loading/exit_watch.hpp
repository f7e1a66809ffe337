// Waiting for the first of several child processes to end, woken the moment it does.
#pragma once

#include <sys/types.h>

#include <vector>

namespace lorvex::tandry {

// Waits, without the GIL, until one of `pids` has ended (or is gone), a signal arrives, or
// `milliseconds` pass; the caller then looks at the processes itself. False when the kernel
// cannot watch them (no pidfd_open): the caller waits some other way.
bool wait_for_any_exit(const std::vector<pid_t>& pids, int milliseconds);

}  // namespace lorvex::tandry
