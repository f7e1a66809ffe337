// A worker program's side of the decoder service (see decoder_service_messages.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lorvex {

// Hands the worker's job to the decoder service of its caller, as the decoder `decoder`
// would be started with `mode` and the worker's command line, and waits for its end.
// Returns the status the worker must exit with, or nothing when the worker must decode by
// itself (no service, the service of another build, a request that did not get through);
// nothing is decoded in that case. Ends this process with the decoder's signal when the
// decoder was killed by one. Throws std::runtime_error when the service stopped before
// its decoder reported how it ended.
std::optional<int> hand_over_to_service(const std::string& decoder, std::string_view mode, int argc,
                                        const char* const* argv);

}  // namespace lorvex
