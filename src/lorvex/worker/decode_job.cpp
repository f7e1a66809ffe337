#include "lorvex/worker/decode_job.hpp"

#include <optional>
#include <string>
#include <vector>

#include "lorvex/protocol/decoding_threads.hpp"
#include "lorvex/protocol/owned_frames.hpp"
#include "lorvex/worker/row_writer.hpp"

namespace lorvex {
namespace {

// Where the rows go: straight into memory, or into a shared block from a buffer of one row.
struct RowDestination {
    std::uint8_t* memory = nullptr;
    const SharedBlock* block = nullptr;
};

class JobRunner {
  public:
    JobRunner(const WorkerJob& job, const VideoSource& source, RowDestination destination,
              const RowWritten& row_written)
        : job_(job),
          destination_(destination),
          row_written_(row_written),
          writer_(job.width, job.height, interpolation_flags(job.interpolation), job.format),
          row_bytes_(writer_.row_bytes()),
          session_(source) {}

    void run() {
        const std::vector<std::vector<OwnedFrame>> owned =
            owned_by_interval(job_, session_.table());
        // Most workers of a short request own nothing: they need not open the file at all.
        if (owns_nothing(owned)) return;
        std::vector<std::int64_t> own_ranks;
        for (const std::vector<OwnedFrame>& frames : owned) {
            for (const OwnedFrame& frame : frames) own_ranks.push_back(frame.frame_index);
        }
        // An interleaved load is read while it decodes, first rows first: its workers keep a
        // thread per core, so that the one holding the rows wanted next is not held to its
        // share while the others fill theirs.
        const double share = job_.check_block ? 1.0 : share_of_decoding(own_ranks);
        const int threads = decoding_threads(share);
        for (const std::vector<OwnedFrame>& frames : owned) {
            session_.deliver(frames, threads,
                             [this](const AVFrame& picture, const OwnedFrame& frame) {
                                 write_frame(picture, frame);
                             });
        }
        session_.watch().require_unchanged();
    }

  private:
    // This worker's part of the pictures that the whole load decodes.
    double share_of_decoding(const std::vector<std::int64_t>& own_ranks) const {
        std::vector<std::int64_t> all_ranks;
        all_ranks.reserve(job_.rows.size());
        for (const RowAssignment& row : job_.rows) all_ranks.push_back(row.frame_index);
        const FrameTable& table = session_.table();
        const std::int64_t all = table.pictures_to_decode(std::move(all_ranks));
        if (all <= 0) return 1.0;
        return static_cast<double>(table.pictures_to_decode(own_ranks)) / static_cast<double>(all);
    }

    std::size_t row_offset(std::int64_t row) const {
        if (row < 0 || row >= job_.row_count) {
            throw DecodeError(job_.video_path + ": row " + std::to_string(row) +
                              " is outside the frames block");
        }
        return static_cast<std::size_t>(row) * row_bytes_;
    }

    void write_frame(const AVFrame& frame, const OwnedFrame& target) {
        const std::size_t offset = row_offset(target.row);
        std::uint8_t* const row =
            destination_.memory ? destination_.memory + offset : row_buffer(row_bytes_);
        try {
            writer_.write(frame, row);
        } catch (const std::runtime_error& error) {
            throw DecodeError(job_.video_path + ": frame " + std::to_string(target.frame_index) +
                              ": " + error.what());
        }
        if (!destination_.memory) destination_.block->write(offset, row, row_bytes_);
        // An interleaved load hands a row out the moment it is marked written.
        if (job_.check_block) session_.watch().require_unchanged();
        row_written_(target.row);
    }

    std::uint8_t* row_buffer(std::size_t size) {
        if (buffer_.size() < size) buffer_.resize(size);
        return buffer_.data();
    }

    const WorkerJob& job_;
    RowDestination destination_;
    std::vector<std::uint8_t> buffer_;  // one row on its way into a shared block
    const RowWritten& row_written_;
    RowWriter writer_;
    std::size_t row_bytes_;
    DecodingSession session_;
};

void run_job(const WorkerJob& job, const VideoSource& source, RowDestination destination,
             const RowWritten& row_written) {
    try {
        JobRunner(job, source, destination, row_written).run();
    } catch (const std::invalid_argument& error) {
        throw DecodeError(job.video_path + ": " + error.what());  // e.g. an unknown interpolation
    } catch (const std::out_of_range& error) {
        throw DecodeError(job.video_path + ": " + error.what());
    }
}

}  // namespace

void run_decode_job(const WorkerJob& job, const SharedBlock& frames_block,
                    const RowWritten& row_written) {
    run_job(job, VideoSource{job.video_path, {}}, RowDestination{nullptr, &frames_block},
            row_written);
}

void run_decode_job(const WorkerJob& job, const VideoSource& source, std::uint8_t* frames_block,
                    const RowWritten& row_written) {
    run_job(job, source, RowDestination{frames_block, nullptr}, row_written);
}

}  // namespace lorvex
