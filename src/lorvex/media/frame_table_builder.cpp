#include "lorvex/media/frame_table_builder.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "lorvex/media/shown_pictures.hpp"

namespace lorvex {

PacketFacts facts_of(AVCodecID codec, const AVPacket& packet) {
    return {packet.pts,
            packet.dts,
            packet.duration,
            (packet.flags & AV_PKT_FLAG_KEY) != 0,
            packet_shows_picture(codec, packet),
            (packet.flags & AV_PKT_FLAG_CORRUPT) != 0,
            picture_kind(codec, packet),
            packet.pos};
}

std::int64_t frame_ticks(const AVStream& stream) {
    const auto valid = [](AVRational value) { return value.num > 0 && value.den > 0; };
    // The demuxer's rate for the stream (a raw stream's own timing, else the rate it assumes).
    AVRational rate = stream.r_frame_rate;
    if (!valid(rate)) rate = stream.avg_frame_rate;
    if (!valid(rate) || !valid(stream.time_base)) return 1;
    return std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), stream.time_base));
}

namespace {

constexpr std::int64_t kNone = AV_NOPTS_VALUE;

std::int64_t saturated_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

std::int64_t saturated_multiply(std::int64_t a, std::int64_t b) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::int64_t>::max();
    return product;
}

}  // namespace

FrameTableBuilder::FrameTableBuilder(AVCodecID codec, std::int64_t frame_ticks)
    : codec_(codec), frame_ticks_(std::max<std::int64_t>(1, frame_ticks)) {}

FrameTableBuilder::FrameTableBuilder(const AVStream& stream, const std::string& path)
    : codec_(stream.codecpar->codec_id), frame_ticks_(frame_ticks(stream)) {
    FrameUnpacker unpacker(codec_, stream.codecpar, path);
    if (unpacker.active()) unpacker_.emplace(std::move(unpacker));
}

void FrameTableBuilder::add(const AVPacket& packet) {
    if (!unpacker_ || packet.size <= 0) {
        add(facts_of(codec_, packet));
        return;
    }
    const UniquePacket unpacked = make_packet();
    if (av_packet_ref(unpacked.get(), &packet) < 0) throw std::bad_alloc();
    unpacker_->unpack(*unpacked);
    add(facts_of(codec_, *unpacked));
}

std::int64_t FrameTableBuilder::stamp_of(const SeenPacket& packet, std::int64_t time) {
    if (packet.pts != kNone) return packet.pts;
    return packet.dts != kNone ? packet.dts : time;
}

bool FrameTableBuilder::has_timestamps() const {
    return std::any_of(packets_.begin(), packets_.end(),
                       [](const SeenPacket& p) { return p.pts != kNone || p.dts != kNone; });
}

bool FrameTableBuilder::dts_only() const {
    return std::none_of(packets_.begin(), packets_.end(),
                        [](const SeenPacket& p) { return p.pts != kNone; }) &&
           has_timestamps();
}

std::size_t FrameTableBuilder::first_keyframe() const {
    std::size_t first_key = 0;
    while (first_key < packets_.size() && !packets_[first_key].keyframe) ++first_key;
    return first_key;
}

std::vector<std::int64_t> FrameTableBuilder::presentation_times(std::size_t from,
                                                                bool dts_only) const {
    // Packets without pts in a stream whose other packets have it follow the MPEG rule: a
    // B-picture is shown when it is decoded, a reference picture when the next reference
    // picture is decoded. Where the picture header tells (MPEG-1/2, MPEG-4 part 2) that is
    // what it says; elsewhere the packets without pts are taken for the reference pictures (as
    // MPEG-4 part 2 and MPEG-2 in AVI leave them). A program stream leaves out a pts wherever
    // two pictures start in one PES packet, B or reference alike. A packet with no timestamp
    // at all comes after everything before it.
    const auto is_reference = [&](const SeenPacket& packet) {
        if (packet.kind != PictureKind::unknown) return packet.kind == PictureKind::reference;
        return packet.pts == kNone;
    };
    std::vector<std::int64_t> times(packets_.size(), kNone);
    std::int64_t next_reference = kNone;
    for (std::size_t i = packets_.size(); i-- > from;) {
        const SeenPacket& packet = packets_[i];
        if (dts_only) {
            times[i] = packet.dts;
        } else if (packet.pts != kNone) {
            times[i] = packet.pts;
        } else if (packet.kind == PictureKind::bidirectional) {
            times[i] = packet.dts;
        } else {
            times[i] = next_reference;
        }
        if (is_reference(packet)) next_reference = packet.dts;
    }
    std::int64_t latest = kNone;
    for (std::size_t i = from; i < packets_.size(); ++i) {
        if (times[i] != kNone) latest = latest == kNone ? times[i] : std::max(latest, times[i]);
    }
    for (std::size_t i = from; i < packets_.size(); ++i) {
        if (times[i] != kNone) continue;
        const std::int64_t step = packets_[i].duration > 0 ? packets_[i].duration : 1;
        times[i] = latest == kNone ? 0 : saturated_add(latest, step);
        latest = times[i];
    }
    return times;
}

std::size_t FrameTableBuilder::packets_to_decode() const {
    if (packets_.empty()) return 0;
    // Which pictures a stream without timestamps shows, and in which order, only its decode
    // tells: fields that pair into one picture, reordering, pictures the decoder drops.
    if (!has_timestamps()) return packets_.size();
    const std::size_t head = undecided_packets();
    if (head == 0) return 0;
    // A decoder decides whether to show a picture as it leaves its reordering (at most 16
    // pictures in every codec) or when a recovery point is reached: drained right after the
    // packets in doubt, it shows or drops some of them otherwise than a full decode does.
    constexpr std::size_t kSettling = 64;
    return std::min(packets_.size(), head + kSettling);
}

std::size_t FrameTableBuilder::undecided_packets() const {
    if (!has_timestamps()) return packets_.size();
    if (dts_only()) return 0;
    // Before the first keyframe some decoders show nothing, others what they can make of the
    // parameter sets they were given (HEVC), and the leading pictures of a first keyframe
    // that starts an open group are dropped by some (HEVC's RASL pictures) and shown by
    // others.
    const std::size_t first_key = first_keyframe();
    if (first_key == packets_.size()) return packets_.size();
    const std::vector<std::int64_t> times = presentation_times(first_key, false);
    std::size_t end = first_key;
    for (std::size_t i = first_key + 1; i < packets_.size() && !packets_[i].keyframe; ++i) {
        if (packets_[i].shows && times[i] < times[first_key]) end = i + 1;
    }
    return end;
}

FrameTable FrameTableBuilder::finish(const std::optional<DecodedPictures>& decoded) const {
    if (packets_.empty()) return {};
    if (decoded && !has_timestamps()) return finish_by_position(*decoded);
    return finish_timed(decoded);
}

std::size_t FrameTableBuilder::decoding_start() const {
    const std::size_t first_key = first_keyframe();
    return first_key == packets_.size() ? 0 : first_key;
}

std::vector<bool> FrameTableBuilder::shown_by_decode(const DecodedPictures& decoded) const {
    std::vector<bool> shown(undecided_packets(), false);
    for (const std::int64_t index : decoded) {
        if (index >= 0 && static_cast<std::size_t>(index) < shown.size()) {
            shown[static_cast<std::size_t>(index)] = true;
        }
    }
    return shown;
}

std::vector<bool> FrameTableBuilder::packets_shown(std::size_t from,
                                                   const std::vector<bool>& decoded_shown) const {
    std::vector<bool> shown(packets_.size(), false);
    for (std::size_t i = from; i < packets_.size(); ++i) {
        // A last packet cut short by the end of the file does not decode.
        shown[i] = i < decoded_shown.size()
                       ? static_cast<bool>(decoded_shown[i])
                       : packets_[i].shows && !(i + 1 == packets_.size() && packets_[i].corrupt);
    }
    return shown;
}

void FrameTableBuilder::add_pictures(FrameTable& table, const std::vector<std::int64_t>& times,
                                     const std::vector<bool>& shown) const {
    std::vector<std::size_t> pictures;
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        if (shown[i]) pictures.push_back(i);
    }
    // Equal times keep their decode order.
    std::stable_sort(pictures.begin(), pictures.end(),
                     [&](std::size_t a, std::size_t b) { return times[a] < times[b]; });
    table.timestamps.reserve(pictures.size());
    table.stamps.reserve(pictures.size());
    for (const std::size_t i : pictures) {
        table.timestamps.push_back(times[i]);
        table.stamps.push_back(stamp_of(packets_[i], times[i]));
    }
}

void FrameTableBuilder::add_keyframes(FrameTable& table, std::size_t from, std::size_t start,
                                      const std::vector<std::int64_t>& times,
                                      const std::vector<bool>& shown) const {
    std::int64_t shown_before = 0;
    std::int64_t floor = 0;
    for (std::size_t i = from; i < packets_.size(); ++i) {
        const SeenPacket& packet = packets_[i];
        if (packet.keyframe || i == start) {
            std::int64_t first_rank = shown_before;
            if (!table.dts_only) {
                // Pictures shown before the keyframe's own time need the pictures before it.
                first_rank =
                    std::lower_bound(table.timestamps.begin(), table.timestamps.end(), times[i]) -
                    table.timestamps.begin();
            }
            floor = std::max(floor, first_rank);
            table.keyframes.push_back({stamp_of(packet, times[i]), packet.dts, floor});
        }
        if (shown[i]) ++shown_before;
    }
}

FrameTable FrameTableBuilder::finish_timed(const std::optional<DecodedPictures>& decoded) const {
    FrameTable table;
    table.dts_only = dts_only();
    const std::size_t start = decoding_start();
    // Where a decode told which of the first packets show a picture, the table takes its
    // word for them, and their pictures take their places by time among the others.
    const std::vector<bool> decoded_shown =
        decoded && !table.dts_only ? shown_by_decode(*decoded) : std::vector<bool>();
    const std::size_t from = decoded_shown.empty() ? start : 0;
    const std::vector<std::int64_t> times = presentation_times(from, table.dts_only);
    const std::vector<bool> shown = packets_shown(from, decoded_shown);
    add_pictures(table, times, shown);
    add_keyframes(table, from, start, times, shown);
    return table;
}

std::int64_t FrameTableBuilder::rank_time(std::int64_t rank) const {
    return saturated_multiply(rank, frame_ticks_);
}

bool FrameTableBuilder::places_distinct() const {
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        if (packets_[i].pos < 0 || (i > 0 && packets_[i].pos <= packets_[i - 1].pos)) return false;
    }
    return true;
}

FrameTableBuilder::PacketRanks FrameTableBuilder::add_pictures_by_position(
    FrameTable& table, const DecodedPictures& decoded) const {
    const auto count = static_cast<std::int64_t>(packets_.size());
    PacketRanks ranks{std::vector<std::int64_t>(packets_.size(), -1),
                      std::vector<std::int64_t>(packets_.size(), -1)};
    table.timestamps.reserve(decoded.size());
    table.stamps.reserve(decoded.size());
    for (std::size_t rank = 0; rank < decoded.size(); ++rank) {
        const auto r = static_cast<std::int64_t>(rank);
        table.timestamps.push_back(rank_time(r));
        const std::int64_t index = decoded[rank];
        if (index < 0 || index >= count) {
            table.stamps.push_back(kNoTimestamp);
            continue;
        }
        const auto i = static_cast<std::size_t>(index);
        table.stamps.push_back(packets_[i].pos);
        if (ranks.lowest[i] < 0) ranks.lowest[i] = r;
        ranks.highest[i] = r;
    }
    return ranks;
}

void FrameTableBuilder::add_keyframes_by_position(FrameTable& table,
                                                  const PacketRanks& ranks) const {
    // Decoding from a keyframe shows exactly the pictures from its own on that no packet
    // before it shows; those shown before its own (its leading pictures) need the keyframe
    // before it. Without a place of its own, a keyframe cannot be sought to: every picture
    // is decoded from the first packet.
    const bool distinct = places_distinct();
    std::int64_t shown_before = 0;  // one past the highest rank of the packets so far
    std::int64_t floor = 0;
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        if (packets_[i].keyframe && distinct) {
            const std::int64_t first_rank = std::max(shown_before, ranks.lowest[i]);
            floor = std::max(floor, first_rank);
            table.keyframes.push_back({packets_[i].pos, kNoTimestamp, floor});
        }
        shown_before = std::max(shown_before, ranks.highest[i] + 1);
    }
}

FrameTable FrameTableBuilder::finish_by_position(const DecodedPictures& decoded) const {
    FrameTable table;
    table.by_position = true;
    const PacketRanks ranks = add_pictures_by_position(table, decoded);
    add_keyframes_by_position(table, ranks);
    return table;
}

std::vector<std::int64_t> FrameTableBuilder::packet_timestamps(
    const DecodedPictures& decoded) const {
    std::vector<std::int64_t> times(packets_.size(), kNone);
    for (std::size_t rank = 0; rank < decoded.size(); ++rank) {
        const std::int64_t index = decoded[rank];
        if (index < 0 || static_cast<std::size_t>(index) >= times.size()) continue;
        std::int64_t& time = times[static_cast<std::size_t>(index)];
        if (time == kNone) time = rank_time(static_cast<std::int64_t>(rank));
    }
    return times;
}

}  // namespace lorvex
