// How many threads a decoder takes for its part of a load.
#pragma once

namespace lorvex {

// The cores this process may run on: a container or `taskset` can allow fewer than the machine
// has.
int usable_cores();

// Decoding threads for a decoder that has `share` (0 to 1) of its load's decoding to do: its
// part of the cores, at least one. The decoders of a load run at once, so threads beyond their
// part of the cores only add the cost of frame threading (copied contexts, flushes at every
// seek); a decoder with the whole load to itself takes every core.
int decoding_threads(double share);

}  // namespace lorvex
