// Reads the two pickles a loader puts on a worker's command line, and nothing else.
//
// This is not an unpickler: it accepts exactly the opcode sequences that
// pickle.dumps(value, protocol=5) writes for a dict of int -> int and for a list of lists of
// (int, int, int) tuples, so nothing on the command line can make a worker build other objects.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lorvex/protocol/command_line_error.hpp"
#include "lorvex/protocol/worker_job.hpp"

namespace lorvex {

// The pickle protocol the loaders write with (`pickle.dumps(value, protocol=...)`, through the
// module's late-bound `pickle`), and the only one read here.
inline constexpr int kPickleProtocol = 5;

// what() names the pickle, the byte offset and the opcode that was refused.
class PickleError : public CommandLineError {
  public:
    using CommandLineError::CommandLineError;
};

// The row map {frame index: row}, in the dict's order. Shape only: the values are not checked.
std::vector<RowAssignment> read_row_map_pickle(std::span<const std::uint8_t> bytes);

// The share list [[(start pts, end pts, count), ...], ...]. Shape only, as above.
std::vector<std::vector<PtsInterval>> read_share_list_pickle(std::span<const std::uint8_t> bytes);

}  // namespace lorvex
