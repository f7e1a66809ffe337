// Starting the decoder service of this process (protocol/decoder_service_messages.hpp):
// before the first decoder is wanted, by lorvex's engine or by lorvex.tandry's loaders, and
// again after a fork or when it has ended. Both extensions link this, each with a copy of its
// state; the address the service listens on tells each copy whether the other has started one
// already.
#pragma once

#include <optional>
#include <string>

namespace lorvex::engine {

// Starts the service (the decoder program in `folder`, the folder of the worker programs)
// unless one runs already for this process. Quietly does nothing when it cannot (no program
// there, no room for a process): the worker programs then decode by themselves, and the
// engine says what is missing when it finds no service to ask.
void ensure_decoder_service(const std::string& folder) noexcept;

// The decoder program in `folder` (absolute), when it is there.
std::optional<std::string> decoder_program(const std::string& folder);

}  // namespace lorvex::engine
