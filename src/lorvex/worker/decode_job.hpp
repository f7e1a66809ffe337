// A worker's whole job: decode the frames it owns and write each into its row of the block.
#pragma once

#include <cstdint>
#include <functional>

#include "lorvex/media/video_input.hpp"
#include "lorvex/protocol/shared_block.hpp"
#include "lorvex/protocol/worker_job.hpp"
#include "lorvex/worker/decoding_session.hpp"

namespace lorvex {

// Called once per written row, after every byte of it is in place.
using RowWritten = std::function<void(std::int64_t row)>;

// Goes through the job's intervals in order, writing each frame it owns into its row of
// `frames_block` (job.row_count rows of job.format.row_bytes(height, width) bytes) and nothing
// else.
void run_decode_job(const WorkerJob& job, const SharedBlock& frames_block,
                    const RowWritten& row_written);

// The same into memory at `frames_block`, over `source` instead of the file job.video_path
// names.
void run_decode_job(const WorkerJob& job, const VideoSource& source, std::uint8_t* frames_block,
                    const RowWritten& row_written);

}  // namespace lorvex
