// A warm decoder's body (protocol/decoder_session.hpp): the video `path` kept open, jobs taken
// one after another from `connection` until the engine hangs up. Returns the exit status: 0
// once the engine has hung up between jobs, 1 after reporting a job's failure.
#pragma once

#include <sys/types.h>

#include <string>

namespace lorvex {

int run_warm_decoder(int connection, pid_t caller, const std::string& path) noexcept;

}  // namespace lorvex
