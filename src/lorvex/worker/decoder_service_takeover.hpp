// The decoder that the decoder service forks for a job (see
// protocol/decoder_service_messages.hpp), before and after it decodes: it reads the worker's
// request, takes the worker's descriptors, working folder, priority and processors over,
// decodes as the worker's own decoder would, and reports how it ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "lorvex/worker/prepared_input.hpp"

namespace lorvex {

// Closes every descriptor of this process but those of `kept`; false without /proc.
bool close_all_but(const std::vector<int>& kept);

// The real path of this program: a request is taken only when the decoder it names is this
// very program. "" without /proc.
std::string this_program();

// The forked decoder's body, on the worker's `connection` to the service of `caller`, which
// runs `program` (this_program() in the service): declines a request of another build or one
// whose descriptors it cannot take over, and otherwise decodes and reports. `input`, when
// given, is what the service opened for the job's file. Never returns.
[[noreturn]] void run_forked_decoder(int connection, pid_t caller, const std::string& program,
                                     PreparedInput* input);

}  // namespace lorvex
