// The decoder service of this process (see core/decoder_service.hpp): started before the
// first workers, so that their decoders need not load FFmpeg, and again after a fork or when
// it has ended.
#pragma once

#include <string>

namespace lorvex::tandry {

// Starts the service (the decoder program in `folder`, the folder of the worker programs)
// unless it runs already. Quietly does nothing when it cannot (no program there, no room for
// a process): the workers then decode by themselves.
void ensure_decoder_service(const std::string& folder) noexcept;

}  // namespace lorvex::tandry
