// The worker programs in two steps. `lorvex` and `lorvex_interleaved` start as fronts that
// need none of the FFmpeg libraries: most workers of a short request own none of its frames,
// which the command line and the frame table handed over tell, and loading the libraries (136
// shared objects in the system's build, about 45 ms of CPU) is most of what such a worker would
// cost. A front that has frames to decode, or cannot tell, becomes the decoder program in its
// own process (same pid, descriptors and environment), which does the work. Either step ends
// with status 0, or prints one line "lorvex: <reason>" on stderr and exits with status 1.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace lorvex {

// The decoder program, next to the fronts, and the mode its first argument names.
inline constexpr std::string_view kDecoderProgram = "lorvex_decoder";
inline constexpr std::string_view kOneShotMode = "one-shot";
inline constexpr std::string_view kInterleavedMode = "interleaved";

// The fronts' bodies: a worker program's command line.
int run_one_shot_front(int argc, const char* const* argv) noexcept;
int run_interleaved_front(int argc, const char* const* argv) noexcept;

// The decoder's body: the mode, then the front's command line; or, with the mode "serve",
// the decoder service (see decoder_service.hpp).
int run_decoder(int argc, const char* const* argv) noexcept;

// The same body in a decoder that the service forked for a worker: it ends once that worker,
// whose connection is `job_connection`, or the caller is gone.
int run_handed_over_decoder(int argc, const char* const* argv, int job_connection,
                            pid_t caller) noexcept;

// The service's body: `lorvex_decoder serve <caller pid>`.
int serve_decoders(int argc, const char* const* argv) noexcept;

}  // namespace lorvex
