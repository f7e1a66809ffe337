#include "lorvex/core/decode_job.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/core/frame_index.hpp"
#include "lorvex/core/frame_picker.hpp"
#include "lorvex/core/row_scaler.hpp"
#include "lorvex/core/video_decoder.hpp"

namespace lorvex {
namespace {

constexpr int kSeekAttempts = 4;

class JobRunner {
  public:
    JobRunner(const WorkerJob& job, std::uint8_t* block, const RowWritten& row_written)
        : job_(job),
          block_(block),
          row_written_(row_written),
          row_bytes_(3 * static_cast<std::size_t>(job.height) *
                     static_cast<std::size_t>(job.width)),
          scaler_(job.width, job.height, interpolation_flags(job.interpolation)),
          decoder_(job.video_path, decoding_threads(job.num_workers)),
          keyframes_(decoder_.indexed_keyframes()) {}

    void run() {
        for (const PtsInterval& interval : job_.intervals) run_interval(interval);
    }

  private:
    std::int64_t first_pts_of(std::int64_t index) const {
        return first_pts_reaching(index, job_.start_pts, job_.end_pts, job_.num_frames);
    }
    std::int64_t index_of(std::int64_t pts) const {
        return estimate_frame_index(pts, job_.start_pts, job_.end_pts, job_.num_frames);
    }

    std::uint8_t* row_address(std::int64_t row) const {
        if (row < 0 || row >= job_.row_count) {
            throw DecodeError(job_.video_path + ": row " + std::to_string(row) +
                              " is outside the frames block");
        }
        return block_ + static_cast<std::size_t>(row) * row_bytes_;
    }

    // Positions the decoder at a keyframe no later than `start`, remembered as the anchor.
    void go_to_interval_start(std::int64_t start) {
        anchor_.reset();
        if (!started_ && start <= job_.start_pts) {
            started_ = true;  // freshly opened: already at the first packet
            return;
        }
        started_ = true;
        if (!decoder_.seeking_keeps_timestamps()) {
            // Interval starts are keyframe timestamps, dts in such a stream.
            if (decoder_.seek_before(start)) {
                anchor_ = start;
                return;
            }
            decoder_.rewind();
            return;
        }
        std::int64_t target = start;
        for (int attempt = 0; attempt < kSeekAttempts; ++attempt) {
            const std::optional<std::int64_t> landing = decoder_.seek(target);
            if (landing && *landing <= start) {
                anchor_ = target;
                return;
            }
            // Landed past the start (or nowhere): aim further back, by a growing margin.
            const __int128 overshoot =
                landing ? std::max<__int128>(1, static_cast<__int128>(*landing) - start) : 1;
            const __int128 earlier =
                static_cast<__int128>(target) - (overshoot << (2 * attempt + 1));
            if (earlier < std::numeric_limits<std::int64_t>::min()) break;
            target = static_cast<std::int64_t>(earlier);
        }
        decoder_.rewind();
    }

    // Skips ahead when a keyframe lies between what has been read and the waiting frame, as
    // long as starting there provably leaves every picture from the waiting frame on unchanged.
    void maybe_skip_ahead(std::int64_t waiting_index) {
        if (!seeking_ahead_ || keyframes_.empty()) return;
        const std::int64_t first_pts = first_pts_of(waiting_index);
        if (first_pts == std::numeric_limits<std::int64_t>::max() ||
            first_pts == std::numeric_limits<std::int64_t>::min()) {
            return;
        }
        // Index timestamps are pts or dts depending on the container (dts <= pts), so they
        // only say whether a keyframe not yet read may lie at or before the waiting frame.
        const std::int64_t furthest =
            decoder_.furthest_packet().value_or(std::numeric_limits<std::int64_t>::min());
        auto after = std::upper_bound(keyframes_.begin(), keyframes_.end(), first_pts);
        if (after == keyframes_.begin() || *(after - 1) <= furthest) return;
        if (!decoder_.seeking_keeps_timestamps()) {
            // Index and frame timestamps are both dts here: the keyframe is known exactly.
            const std::int64_t keyframe = *(after - 1);
            if (decoder_.seek_before(keyframe)) {
                anchor_ = keyframe;
                return;
            }
            fall_back(first_pts);
            return;
        }
        // Aim at the waiting frame's own pts first; should the demuxer land past it (seeking
        // by dts), at the indexed keyframe before the one that was probably hit.
        std::int64_t target = first_pts;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::optional<std::int64_t> landing = decoder_.seek(target);
            if (landing && *landing <= first_pts) {
                anchor_ = target;
                return;
            }
            --after;
            if (after == keyframes_.begin() || *(after - 1) <= furthest) break;
            target = *(after - 1);
        }
        fall_back(first_pts);
    }

    // No safe landing ahead: back to the last verified position, decoding forward from there
    // for the rest of the interval.
    void fall_back(std::int64_t first_pts) {
        seeking_ahead_ = false;
        if (anchor_) {
            const std::optional<std::int64_t> back = decoder_.seeking_keeps_timestamps()
                                                         ? decoder_.seek(*anchor_)
                                                         : decoder_.seek_before(*anchor_);
            if (back && *back <= first_pts) return;
        }
        anchor_.reset();
        decoder_.rewind();
    }

    void write_frame(const AVFrame& frame, std::span<const OwnedFrame> targets) {
        std::uint8_t* first_row = nullptr;
        for (const OwnedFrame& target : targets) {
            std::uint8_t* row = row_address(target.row);
            if (first_row) {
                std::memcpy(row, first_row, row_bytes_);
            } else {
                try {
                    scaler_.scale(frame, row);
                } catch (const std::runtime_error& error) {
                    throw DecodeError(job_.video_path + ": frame " +
                                      std::to_string(target.frame_index) + ": " + error.what());
                }
                first_row = row;
            }
            row_written_(target.row);
        }
    }

    void remember_last(const AVFrame& frame) {
        if (!last_frame_) last_frame_ = make_frame();
        av_frame_unref(last_frame_.get());
        if (av_frame_ref(last_frame_.get(), &frame) < 0) throw std::bad_alloc();
        have_last_frame_ = true;
    }

    void run_interval(const PtsInterval& interval) {
        FramePicker picker(owned_frames(job_, interval));
        if (picker.done()) return;
        go_to_interval_start(interval.start);
        seeking_ahead_ = true;
        std::int64_t planned_for = std::numeric_limits<std::int64_t>::min();
        while (!picker.done()) {
            if (picker.waiting().frame_index != planned_for) {
                planned_for = picker.waiting().frame_index;
                maybe_skip_ahead(planned_for);
            }
            AVFrame* frame = decoder_.next_frame();
            if (decoder_.lost_pictures()) {
                // Everything written so far came before the gap; decode the rest from the
                // start of the file, where the decoder shows every picture.
                seeking_ahead_ = false;
                anchor_.reset();
                decoder_.rewind();
                continue;
            }
            if (!frame) break;
            remember_last(*frame);
            const std::optional<std::int64_t> pts = decoder_.frame_timestamp();
            // Pictures before the interval's start belong to the interval before it.
            if (!pts || *pts < interval.start) continue;
            write_frame(*frame, picker.take_reached(index_of(*pts)));
        }
        if (picker.done()) return;
        if (!have_last_frame_) {
            throw DecodeError(job_.video_path + ": no picture could be decoded for frame " +
                              std::to_string(picker.waiting().frame_index));
        }
        write_frame(*last_frame_, picker.take_rest());
    }

    const WorkerJob& job_;
    std::uint8_t* block_;
    const RowWritten& row_written_;
    std::size_t row_bytes_;
    RowScaler scaler_;
    VideoDecoder decoder_;
    std::vector<std::int64_t> keyframes_;
    bool started_ = false;
    // The seek target of the current, verified position; none for the start of the file.
    std::optional<std::int64_t> anchor_;
    bool seeking_ahead_ = true;
    UniqueFrame last_frame_;
    bool have_last_frame_ = false;
};

}  // namespace

void run_decode_job(const WorkerJob& job, std::uint8_t* frames_block,
                    const RowWritten& row_written) {
    try {
        JobRunner(job, frames_block, row_written).run();
    } catch (const std::invalid_argument& error) {
        throw DecodeError(job.video_path + ": " + error.what());  // e.g. an unknown interpolation
    }
}

}  // namespace lorvex
