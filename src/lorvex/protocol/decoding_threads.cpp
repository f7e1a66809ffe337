#include "lorvex/protocol/decoding_threads.hpp"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace lorvex {

int usable_cores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        return CPU_COUNT(&allowed);
    }
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int decoding_threads(double share) {
    const int cores = usable_cores();
    return std::clamp(static_cast<int>(std::lround(cores * share)), 1, cores);
}

}  // namespace lorvex
