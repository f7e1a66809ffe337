// Where the decoder service finds the file that a worker's command line names: the name is the
// worker's, and some names mean something else in the service's own process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace lorvex {

// The path through which the service reaches `path` as the worker `worker` would open it: an
// absolute path as it is, a relative one under the worker's working folder (/proc/<pid>/cwd).
// Nothing for a path that names a descriptor of whichever process opens it (/proc/self/...,
// /proc/thread-self/..., /dev/fd/..., /dev/stdin and the like: a video handed over in memory
// is read through /proc/self/fd/N): in the service it would name the service's own
// descriptor, so the service prepares nothing for it and the decoder opens it as the worker.
std::optional<std::string> service_location(pid_t worker, const std::string& path);

}  // namespace lorvex
