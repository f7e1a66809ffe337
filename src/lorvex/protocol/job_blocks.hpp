// The shared-memory blocks a worker writes into, attached as its command line names them.
#pragma once

#include <cstddef>
#include <optional>

#include "lorvex/protocol/shared_block.hpp"
#include "lorvex/protocol/worker_job.hpp"

namespace lorvex {

struct JobBlocks {
    SharedBlock frames;                 // job.row_count rows of job.format.row_bytes(...)
    std::optional<SharedBlock> checks;  // interleaved jobs: one ready flag per row
};

// Attaches the frames block and, for an interleaved job, the check block; throws
// std::runtime_error when one is missing or of another size.
JobBlocks attach_job_blocks(const WorkerJob& job);

}  // namespace lorvex
