// The decoder program, `lorvex_decoder`: what a front with frames to decode becomes (or hands
// its job to, through the decoder service), and the decoder service itself. It ends with
// status 0, or prints one line "lorvex: <reason>" on stderr and exits with status 1.
#pragma once

#include <sys/types.h>

namespace lorvex {

// The decoder's body: the mode, then the front's command line; or, with the mode "serve",
// the decoder service (see protocol/decoder_service_messages.hpp).
int run_decoder(int argc, const char* const* argv) noexcept;

// The same body in a decoder that the service forked for a worker: it ends once that worker,
// whose connection is `job_connection`, or the caller is gone.
int run_handed_over_decoder(int argc, const char* const* argv, int job_connection,
                            pid_t caller) noexcept;

// The service's body: `lorvex_decoder serve <caller pid>`.
int serve_decoders(int argc, const char* const* argv) noexcept;

}  // namespace lorvex
