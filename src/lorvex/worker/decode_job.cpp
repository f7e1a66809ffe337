#include "lorvex/worker/decode_job.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/media/frame_scan.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/owned_frames.hpp"
#include "lorvex/worker/row_writer.hpp"
#include "lorvex/worker/video_decoder.hpp"

namespace lorvex {
namespace {

// The file as the job found it. A file rewritten, truncated or replaced while the job reads it
// gives pictures of neither state, or of the other file: no row decoded after the change is
// handed over as a frame of the file the load asked for.
class FileWatch {
  public:
    explicit FileWatch(std::string path) : path_(std::move(path)), found_(identify_file(path_)) {}

    const std::optional<FileIdentity>& found() const noexcept { return found_; }

    void require_unchanged() const {
        if (found_ && identify_file(path_) != found_) {
            throw DecodeError(path_ + ": the file changed while it was being decoded");
        }
    }

  private:
    std::string path_;
    std::optional<FileIdentity> found_;
};

// The table the loader handed over for the file, else one made here by a pass over the
// packets. The loader planned the load with that table: a file that is no longer what it was
// made from (as `watch` found it when the job started) would have its rows filled from another
// video.
FrameTable load_frame_table(const VideoSource& source, const FileWatch& watch) {
    if (!source.bytes) {
        require_rereadable(source.path);
        if (std::optional<IdentifiedTable> inherited = inherited_identified_table()) {
            if (watch.found() != std::optional<FileIdentity>(inherited->file)) {
                throw DecodeError(source.path + ": the file changed after it was probed");
            }
            return std::move(inherited->table);
        }
    }
    return scan_frame_table(source);
}

// A picture's stamp and rank, ordered by stamp, then rank.
struct StampedRank {
    std::int64_t stamp;
    std::int64_t rank;
    friend auto operator<=>(const StampedRank&, const StampedRank&) = default;
};

std::vector<StampedRank> ranks_by_stamp(const FrameTable& table) {
    std::vector<StampedRank> ranks;
    ranks.reserve(table.stamps.size());
    for (std::size_t i = 0; i < table.stamps.size(); ++i) {
        ranks.push_back({table.stamps[i], static_cast<std::int64_t>(i)});
    }
    std::sort(ranks.begin(), ranks.end());
    return ranks;
}

// Where the decoder stands, and what the pictures it shows next are.
struct Position {
    // The keyframe decoding started at; nothing for the first packet of the file.
    std::optional<std::size_t> keyframe;
    // Pictures of lower rank that come out are leading pictures of that keyframe, decoded
    // without the pictures they refer to.
    std::int64_t trusted_from = 0;
    // The rank of the last picture that came out and was recognised.
    std::int64_t reached = -1;
    // Streams without pts, whose pictures are counted: pictures stamped with a dts below this
    // one come from packets before the keyframe that counting starts at, and are not counted.
    std::optional<std::int64_t> sync_dts;
};

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
          source_(source),
          watch_(source.path),
          table_(load_frame_table(source, watch_)),
          by_stamp_(ranks_by_stamp(table_)),
          skip_allowed_(!table_.dts_only &&
                        std::is_sorted(table_.stamps.begin(), table_.stamps.end())) {}

    void run() {
        const std::vector<std::vector<OwnedFrame>> owned = owned_by_interval(job_, table_);
        // Most workers of a short request own nothing: they need not open the file at all.
        if (owns_nothing(owned)) return;
        std::vector<std::int64_t> own_ranks;
        for (const std::vector<OwnedFrame>& frames : owned) {
            for (const OwnedFrame& frame : frames) own_ranks.push_back(frame.frame_index);
        }
        // An interleaved load is read while it decodes, first rows first: its workers keep a
        // thread per core, so that the one holding the rows wanted next is not held to its
        // share while the others fill theirs (the first 32 of 1800 rows came a third later).
        const double share = job_.check_block ? 1.0 : share_of_decoding(own_ranks);
        decoder_.emplace(source_, decoding_threads(share));
        if (table_.by_position) decoder_->stamp_by_position();
        for (const std::vector<OwnedFrame>& frames : owned) deliver(frames);
        watch_.require_unchanged();
    }

  private:
    const TableKeyframe& keyframe(std::size_t index) const { return table_.keyframes[index]; }

    // This worker's part of the pictures that the whole load decodes.
    double share_of_decoding(const std::vector<std::int64_t>& own_ranks) const {
        std::vector<std::int64_t> all_ranks;
        all_ranks.reserve(job_.rows.size());
        for (const RowAssignment& row : job_.rows) all_ranks.push_back(row.frame_index);
        const std::int64_t all = table_.pictures_to_decode(std::move(all_ranks));
        if (all <= 0) return 1.0;
        return static_cast<double>(table_.pictures_to_decode(own_ranks)) / static_cast<double>(all);
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
        if (job_.check_block) watch_.require_unchanged();
        row_written_(target.row);
    }

    std::uint8_t* row_buffer(std::size_t size) {
        if (buffer_.size() < size) buffer_.resize(size);
        return buffer_.data();
    }

    void deliver(const std::vector<OwnedFrame>& frames) {
        std::size_t next = 0;
        std::optional<std::int64_t> planned_for;
        int retries = 0;
        while (next < frames.size()) {
            const std::int64_t target = frames[next].frame_index;
            if (planned_for != target) {
                planned_for = target;
                retries = 0;
                position_for(target);
            }
            // Pictures before the target are decoded only for the pictures that refer to them.
            if (skip_allowed_) {
                decoder_->skip_unreferenced_before(table_.stamps[static_cast<std::size_t>(target)]);
            }
            AVFrame* frame = decoder_->next_frame();
            if (frame == nullptr) {
                start_earlier(target, ++retries);
                continue;
            }
            const std::optional<std::int64_t> rank = recognise();
            if (!rank || *rank < position_.trusted_from) continue;
            position_.reached = *rank;
            if (*rank < target) continue;
            if (*rank > target) {
                start_earlier(target, ++retries);  // the decoder went past it without showing it
                continue;
            }
            write_frame(*frame, frames[next]);
            ++next;
        }
    }

    // The rank of the picture the decoder just showed, if it is a picture of the table.
    std::optional<std::int64_t> recognise() {
        const std::optional<std::int64_t> stamp = decoder_->frame_stamp();
        if (table_.dts_only) {
            if (position_.sync_dts) {
                if (!stamp) return std::nullopt;
                if (*stamp < *position_.sync_dts) return std::nullopt;
                position_.sync_dts.reset();
            }
            const std::int64_t rank = position_.reached + 1;
            if (rank >= table_.size()) return std::nullopt;
            return rank;
        }
        if (!stamp) {
            // A picture whose packet had no timestamp at all follows the one shown before it.
            if (position_.reached + 1 >= table_.size()) return std::nullopt;
            return std::max(position_.reached + 1, position_.trusted_from);
        }
        // Several pictures can share a stamp (a packet without pts whose dts equals the pts of
        // another): they come out in rank order.
        auto it = std::lower_bound(by_stamp_.begin(), by_stamp_.end(),
                                   StampedRank{*stamp, position_.reached + 1});
        if (it == by_stamp_.end() || it->stamp != *stamp) return std::nullopt;
        return it->rank;
    }

    // Decodes on from where the decoder is when that costs less than a seek; else starts at
    // the target's own keyframe.
    void position_for(std::int64_t target) {
        const std::optional<std::size_t> start = table_.start_keyframe(target);
        const std::int64_t start_rank = start ? keyframe(*start).first_rank : 0;
        const bool started_before = !position_.keyframe || (start && *position_.keyframe <= *start);
        const std::int64_t seek_cost = decoder_->decoding_threads() + 2;
        if (started_before && position_.reached < target &&
            position_.reached + 1 + seek_cost >= start_rank) {
            return;
        }
        if (!start || !start_at(*start)) rewind();
    }

    // The decoder missed `target`: decode it from further back, at last from the first packet.
    void start_earlier(std::int64_t target, int retries) {
        if (position_.keyframe) {
            if (retries == 1 && *position_.keyframe > 0 && start_at(*position_.keyframe - 1)) {
                return;
            }
            if (retries <= 2) {
                rewind();
                return;
            }
        }
        std::string message = job_.video_path + ": frame " + std::to_string(target) +
                              " (timestamp " +
                              std::to_string(table_.timestamps[static_cast<std::size_t>(target)]) +
                              ") could not be decoded";
        if (!decoder_->last_decode_error().empty()) message += ": " + decoder_->last_decode_error();
        throw DecodeError(message);
    }

    void rewind() {
        decoder_->rewind();
        position_ = Position{};
    }

    // Seeks so that decoding starts at keyframe `index` or an earlier one, checking where the
    // demuxer really landed. False when no landing could be verified.
    bool start_at(std::size_t index) {
        if (table_.dts_only) {
            // Counting needs a keyframe whose earlier packets were decoded as well: land on the
            // one before and count from the first picture of a packet at or after `index`.
            if (index == 0) return false;
            const std::optional<std::size_t> landed = land(index - 1);
            if (!landed || keyframe(*landed + 1).dts == AV_NOPTS_VALUE) return false;
            position_ = Position{*landed, 0, keyframe(*landed + 1).first_rank - 1,
                                 keyframe(*landed + 1).dts};
            return true;
        }
        const std::optional<std::size_t> landed = land(index);
        if (!landed) return false;
        const std::int64_t first_rank = keyframe(*landed).first_rank;
        position_ = Position{*landed, first_rank, first_rank - 1, std::nullopt};
        return true;
    }

    // A seek that lands somewhere else is detected, never trusted: the keyframe reached must
    // be one of the table's, at or before the one aimed at. Demuxers that seek by decode time
    // can land a keyframe late when aimed at its pts; aim at its dts, then at the keyframes
    // before it.
    std::optional<std::size_t> land(std::size_t index) {
        std::vector<std::int64_t> targets{keyframe(index).stamp};
        if (keyframe(index).dts != AV_NOPTS_VALUE && keyframe(index).dts < keyframe(index).stamp) {
            targets.push_back(keyframe(index).dts);
        }
        for (std::size_t back = 1; back <= 2 && back <= index; ++back) {
            targets.push_back(keyframe(index - back).stamp);
        }
        for (const std::int64_t target : targets) {
            const std::optional<Landing> landing = decoder_->seek(target);
            if (!landing) continue;
            const std::optional<std::size_t> found =
                table_.find_keyframe(landing->stamp, landing->dts);
            if (found && *found <= index) return found;
        }
        return std::nullopt;
    }

    const WorkerJob& job_;
    RowDestination destination_;
    std::vector<std::uint8_t> buffer_;  // one row on its way into a shared block
    const RowWritten& row_written_;
    RowWriter writer_;
    std::size_t row_bytes_;
    VideoSource source_;
    FileWatch watch_;
    FrameTable table_;
    std::vector<StampedRank> by_stamp_;
    // Stamps that rise with rank tell, packet by packet, which pictures come before a target.
    bool skip_allowed_;
    std::optional<VideoDecoder> decoder_;  // opened once there is something to decode
    Position position_;                    // freshly opened: at the first packet
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
