// The bodies of the worker programs: command line in, rows in the shared frames block out,
// and on failure one line "lorvex: <reason>" on stderr and exit status 1.
#pragma once

namespace lorvex {

int run_one_shot_worker(int argc, const char* const* argv) noexcept;
int run_interleaved_worker(int argc, const char* const* argv) noexcept;

}  // namespace lorvex
