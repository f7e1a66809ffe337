#include "lorvex/core/parent_watch.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace lorvex {

void exit_when_parent_exits() {
    const pid_t parent = getppid();
    // A parent that ended before this line is not noticed: its pid cannot be told from a
    // reaper's (in a container the caller may itself be pid 1).
    std::thread([parent] {
        while (getppid() == parent) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::fputs("lorvex: the calling process has exited\n", stderr);
        // No unwinding: the decoding thread may hold any lock, and nothing it holds matters
        // to anyone now.
        _exit(1);
    }).detach();
}

}  // namespace lorvex
