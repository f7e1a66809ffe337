// How a worker program ends: status 0 when its body returns, else one line "lorvex: <reason>"
// on stderr (which the loader reads back into its exception) and status 1.
#pragma once

#include <exception>
#include <new>

#include "lorvex/protocol/worker_reason.hpp"

namespace lorvex {

inline int report_worker_failure(const char* reason) noexcept {
    write_reason_line(reason);
    return 1;
}

template <typename Body>
int run_guarded(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const std::bad_alloc&) {
        return report_worker_failure("out of memory");
    } catch (const std::exception& error) {
        return report_worker_failure(error.what());
    } catch (...) {
        return report_worker_failure("unknown error");
    }
}

}  // namespace lorvex
