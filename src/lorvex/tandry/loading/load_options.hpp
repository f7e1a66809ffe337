// What the Python layer asks of a load beyond the module's own arguments (lorvex._load_options):
// set around a call of the module, read once when the load starts. A load made by any other
// caller finds none and behaves as it always has.
#pragma once

#include <optional>
#include <vector>

#include "lorvex/capi/ref.hpp"
#include "lorvex/protocol/frame_format.hpp"

namespace lorvex::tandry {

struct LoadOptions {
    // The CLOCK_MONOTONIC second (Python's time.monotonic()) by which the load must be done,
    // and the seconds the caller allowed, for the message.
    std::optional<double> deadline;
    double timeout = 0;
    // The frame table (bytes) of the file in the state the caller probed and planned with;
    // empty for the table of the file as it is when the load starts.
    py::Ref frame_table;
    // How the workers lay out each frame: the command line's items alone mean the default.
    FrameFormat format;
    // Descriptors of this process the workers inherit under the same numbers: a video held
    // in memory, which the load's path names as /proc/self/fd/N.
    std::vector<int> inherited;
};

// The options in force for this thread's current call; none when the Python layer set none.
LoadOptions current_load_options();

// Seconds on the clock the deadlines are read on.
double monotonic_seconds();

}  // namespace lorvex::tandry
