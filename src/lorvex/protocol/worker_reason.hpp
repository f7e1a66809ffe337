// A worker's reason for failing: the one line it writes on its stderr, and what the loader reads
// back out of everything the worker wrote there.
#pragma once

#include <string>
#include <string_view>

namespace lorvex {

// Writes "lorvex: <reason>" as one line on stderr.
void write_reason_line(const char* reason) noexcept;

// The text after "lorvex:" (and the blanks after it) on the last line that starts so; without such
// a line (a sanitizer report, a program that is not ours), the last line that is not blank. Empty
// when nothing was written. Trailing white space and carriage returns are dropped.
std::string worker_reason(std::string_view log);

}  // namespace lorvex
