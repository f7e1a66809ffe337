// What a worker said when it failed, out of everything it wrote to its stderr.
#pragma once

#include <string>
#include <string_view>

namespace lorvex {

// The text after "lorvex:" (and the blanks after it) on the last line that starts so; without such
// a line (a sanitizer report, a program that is not ours), the last line that is not blank. Empty
// when nothing was written. Trailing white space and carriage returns are dropped.
std::string worker_reason(std::string_view log);

}  // namespace lorvex
