// A warm decoder's body (protocol/decoder_session.hpp): the video `path` kept open, jobs taken
// one after another from `connection` until the engine hangs up. A remote video's bytes come
// over the channel `channel` names (names::kChannelArgument and the descriptor), which the
// caller serves. Returns the exit status: 0 once the engine has hung up between jobs, 1 after
// reporting a job's failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace lorvex {

int run_warm_decoder(int connection, pid_t caller, const std::string& path,
                     std::string_view channel) noexcept;

}  // namespace lorvex
