// A Source's probe as bytes, for another process: a DataLoader worker started by spawn, a Ray
// read task. It answers for the file as this process did without opening it, as long as the
// file is as it was (its identity is checked before use). The bytes come back from pickles
// and task arguments, so they are read strictly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lorvex/container/source.hpp"

namespace lorvex::container {

struct SourceState {
    std::string url;
    FileIdentity identity;
    std::string format_name;
    std::vector<StreamInfo> streams;
    std::optional<PictureFormat> picture;
    ProbeFacts facts;  // complete: never a failure
};

std::string encode_source_state(const SourceState& state);

// Accepts exactly what encode_source_state writes; throws std::invalid_argument otherwise.
SourceState decode_source_state(std::string_view bytes);

}  // namespace lorvex::container
