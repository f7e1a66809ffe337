// The fronts of the worker programs `lorvex` and `lorvex_interleaved`: they need none of the
// FFmpeg libraries, and link none. Most workers of a short request own none of its frames,
// which the command line and the inherited frame table tell, and loading the libraries (over
// a hundred shared objects) is most of what such a worker would cost. A front that has frames to
// decode hands its job to the decoder service, or becomes the decoder program itself (same pid,
// descriptors and environment). Either way it ends with status 0, or prints one line "lorvex:
// <reason>" on stderr and exits non-zero.
#pragma once

namespace lorvex {

int run_one_shot_front(int argc, const char* const* argv) noexcept;
int run_interleaved_front(int argc, const char* const* argv) noexcept;

}  // namespace lorvex
