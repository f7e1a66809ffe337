// Probes that outlive the process: an opt-in folder (the environment variable
// LORVEX_PROBE_CACHE names it) holding the probe of each file that took long to make, keyed by
// the file's path and identity and by the FFmpeg libraries that made it. A later process
// opening the unchanged file takes its probe from there without opening the file.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "lorvex/container/source_state.hpp"

namespace lorvex::container {

// Probes that took less are made again: reading one back costs about a millisecond. 10 ms
// unless LORVEX_PROBE_CACHE_MIN_MS says otherwise.
std::chrono::milliseconds probe_worth_keeping();

// The kept probe of `url` in the state `identity`, if the folder is set and holds one.
std::optional<SourceState> kept_probe(const std::string& url, const FileIdentity& identity);

// Keeps `state` in the folder, if one is set; failures (no room, no permission) are ignored.
void keep_probe(const SourceState& state);

}  // namespace lorvex::container
