#include "lorvex/worker/decoding_session.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include "lorvex/media/frame_scan.hpp"
#include "lorvex/protocol/video_path.hpp"

namespace lorvex {

// ---- the file -----------------------------------------------------------------------------

FileWatch::FileWatch(std::string path) : path_(std::move(path)), found_(identify_file(path_)) {}

bool FileWatch::changed() const {
    return found_ && identify_file(path_) != found_;
}

void FileWatch::require_unchanged() const {
    if (changed()) {
        throw DecodeError(path_ + ": the file changed while it was being decoded");
    }
}

namespace {

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

}  // namespace

DecodingSession::DecodingSession(VideoSource source)
    : source_(std::move(source)), watch_(source_.path), table_(load_frame_table(source_, watch_)) {
    index_stamps();
}

DecodingSession::DecodingSession(VideoSource source, FileWatch watch, IdentifiedTable table,
                                 VideoDecoder decoder)
    : source_(std::move(source)), watch_(std::move(watch)), table_(std::move(table.table)) {
    if (watch_.found() != std::optional<FileIdentity>(table.file)) {
        throw DecodeError(source_.path + ": the file changed after it was probed");
    }
    index_stamps();
    decoder_.emplace(std::move(decoder));
    if (table_.by_position) decoder_->stamp_by_position();
}

void DecodingSession::index_stamps() {
    skip_allowed_ = !table_.dts_only && std::is_sorted(table_.stamps.begin(), table_.stamps.end());
    by_stamp_.reserve(table_.stamps.size());
    for (std::size_t i = 0; i < table_.stamps.size(); ++i) {
        by_stamp_.push_back({table_.stamps[i], static_cast<std::int64_t>(i)});
    }
    std::sort(by_stamp_.begin(), by_stamp_.end());
}

// ---- delivering frames --------------------------------------------------------------------

void DecodingSession::use_threads(int threads) {
    if (!decoder_) {
        decoder_.emplace(source_, threads);
        if (table_.by_position) decoder_->stamp_by_position();
        position_ = Position{};
        return;
    }
    if (decoder_->decoding_threads() == std::max(1, threads)) return;
    // A codec opened anew knows nothing of the pictures before: the next frame is sought.
    decoder_->set_threads(threads);
    position_ = Position{};
    position_.reached = table_.size();
}

void DecodingSession::deliver(const std::vector<OwnedFrame>& frames, int threads,
                              const PictureTaken& take, Ending ending) {
    if (frames.empty()) return;
    use_threads(threads);
    // Only where the last frame's packet is known by its stamp: the decoder drains after the
    // first packet it sends with that stamp, which must be the frame's own.
    const bool drain =
        ending == Ending::drain && skip_allowed_ && !stamp_shared(frames.back().frame_index);
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
        if (drain && next + 1 == frames.size()) {
            decoder_->drain_after(table_.stamps[static_cast<std::size_t>(target)]);
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
        take(*frame, frames[next]);
        ++next;
    }
    // Drained, the decoder has no place to decode on from: the next frame is sought.
    if (drain) position_.reached = table_.size();
}

bool DecodingSession::stamp_shared(std::int64_t rank) const {
    const std::int64_t stamp = table_.stamps[static_cast<std::size_t>(rank)];
    const auto first =
        std::lower_bound(by_stamp_.begin(), by_stamp_.end(),
                         StampedRank{stamp, std::numeric_limits<std::int64_t>::min()});
    return by_stamp_.end() - first > 1 && std::next(first)->stamp == stamp;
}

// The rank of the picture the decoder just showed, if it is a picture of the table.
std::optional<std::int64_t> DecodingSession::recognise() {
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

// ---- seeking ------------------------------------------------------------------------------

// Decodes on from where the decoder is when that costs less than a seek; else starts at the
// target's own keyframe.
void DecodingSession::position_for(std::int64_t target) {
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
void DecodingSession::start_earlier(std::int64_t target, int retries) {
    if (position_.keyframe) {
        if (retries == 1 && *position_.keyframe > 0 && start_at(*position_.keyframe - 1)) {
            return;
        }
        if (retries <= 2) {
            rewind();
            return;
        }
    }
    std::string message = source_.path + ": frame " + std::to_string(target) + " (timestamp " +
                          std::to_string(table_.timestamps[static_cast<std::size_t>(target)]) +
                          ") could not be decoded";
    if (!decoder_->last_decode_error().empty()) message += ": " + decoder_->last_decode_error();
    throw DecodeError(message);
}

void DecodingSession::rewind() {
    decoder_->rewind();
    position_ = Position{};
}

// Seeks so that decoding starts at keyframe `index` or an earlier one, checking where the
// demuxer really landed. False when no landing could be verified.
bool DecodingSession::start_at(std::size_t index) {
    if (table_.dts_only) {
        // Counting needs a keyframe whose earlier packets were decoded as well: land on the
        // one before and count from the first picture of a packet at or after `index`.
        if (index == 0) return false;
        const std::optional<std::size_t> landed = land(index - 1);
        if (!landed || keyframe(*landed + 1).dts == AV_NOPTS_VALUE) return false;
        position_ =
            Position{*landed, 0, keyframe(*landed + 1).first_rank - 1, keyframe(*landed + 1).dts};
        return true;
    }
    const std::optional<std::size_t> landed = land(index);
    if (!landed) return false;
    const std::int64_t first_rank = keyframe(*landed).first_rank;
    position_ = Position{*landed, first_rank, first_rank - 1, std::nullopt};
    return true;
}

// A seek that lands somewhere else is detected, never trusted: the keyframe reached must be one
// of the table's, at or before the one aimed at. Demuxers that seek by decode time can land a
// keyframe late when aimed at its pts; aim at its dts, then at the keyframes before it.
std::optional<std::size_t> DecodingSession::land(std::size_t index) {
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
        const std::optional<std::size_t> found = table_.find_keyframe(landing->stamp, landing->dts);
        if (found && *found <= index) return found;
    }
    return std::nullopt;
}

}  // namespace lorvex
