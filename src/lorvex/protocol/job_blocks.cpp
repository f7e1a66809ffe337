#include "lorvex/protocol/job_blocks.hpp"

#include <limits>
#include <stdexcept>

namespace lorvex {
namespace {

std::size_t frames_block_size(const WorkerJob& job) {
    const auto rows = static_cast<std::size_t>(job.row_count);
    const std::size_t pixels =
        static_cast<std::size_t>(job.height) * static_cast<std::size_t>(job.width);
    if (pixels != 0 && 6 > std::numeric_limits<std::size_t>::max() / pixels) {
        throw std::runtime_error("the frames block would exceed the address space");
    }
    const std::size_t row_bytes = job.format.row_bytes(job.height, job.width);
    if (row_bytes != 0 && rows > std::numeric_limits<std::size_t>::max() / row_bytes) {
        throw std::runtime_error("the frames block would exceed the address space");
    }
    return rows * row_bytes;
}

}  // namespace

JobBlocks attach_job_blocks(const WorkerJob& job) {
    JobBlocks blocks{SharedBlock::attach(job.frames_block, frames_block_size(job)), std::nullopt};
    if (job.check_block) {
        blocks.checks =
            SharedBlock::attach(*job.check_block, static_cast<std::size_t>(job.row_count));
    }
    return blocks;
}

}  // namespace lorvex
