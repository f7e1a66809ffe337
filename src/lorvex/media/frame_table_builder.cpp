#include "lorvex/media/frame_table_builder.hpp"

#include <algorithm>
#include <limits>

#include "lorvex/media/shown_pictures.hpp"

namespace lorvex {

PacketFacts facts_of(AVCodecID codec, const AVPacket& packet) {
    return {packet.pts,
            packet.dts,
            packet.duration,
            (packet.flags & AV_PKT_FLAG_KEY) != 0,
            packet_shows_picture(codec, packet),
            (packet.flags & AV_PKT_FLAG_CORRUPT) != 0,
            picture_kind(codec, packet)};
}

namespace {

constexpr std::int64_t kNone = AV_NOPTS_VALUE;

std::int64_t saturated_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

}  // namespace

std::int64_t FrameTableBuilder::stamp_of(const SeenPacket& packet, std::int64_t time) {
    if (packet.pts != kNone) return packet.pts;
    return packet.dts != kNone ? packet.dts : time;
}

FrameTable FrameTableBuilder::finish() const {
    FrameTable table;
    if (packets_.empty()) return table;
    table.dts_only = std::none_of(packets_.begin(), packets_.end(),
                                  [](const SeenPacket& p) { return p.pts != kNone; }) &&
                     std::any_of(packets_.begin(), packets_.end(),
                                 [](const SeenPacket& p) { return p.dts != kNone; });

    // Decoding starts at a keyframe: the pictures of packets before the first one are never
    // shown. A stream that marks no keyframe at all is decoded from its first packet.
    std::size_t first_key = 0;
    while (first_key < packets_.size() && !packets_[first_key].keyframe) ++first_key;
    if (first_key == packets_.size()) first_key = 0;

    // Each packet's presentation time. Packets without pts in a stream whose other packets
    // have it follow the MPEG rule: a B-picture is shown when it is decoded, a reference
    // picture when the next reference picture is decoded. Where the picture header tells
    // (MPEG-1/2, MPEG-4 part 2) that is what it says; elsewhere the packets without pts are
    // taken for the reference pictures (as MPEG-4 part 2 and MPEG-2 in AVI leave them). A
    // program stream leaves out a pts wherever two pictures start in one PES packet, B or
    // reference alike. A packet with no timestamp at all comes after everything before it.
    const auto is_reference = [&](const SeenPacket& packet) {
        if (packet.kind != PictureKind::unknown) return packet.kind == PictureKind::reference;
        return packet.pts == kNone;
    };
    std::vector<std::int64_t> times(packets_.size(), kNone);
    std::int64_t next_reference = kNone;
    for (std::size_t i = packets_.size(); i-- > first_key;) {
        const SeenPacket& packet = packets_[i];
        if (table.dts_only) {
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
    for (std::size_t i = first_key; i < packets_.size(); ++i) {
        if (times[i] != kNone) latest = latest == kNone ? times[i] : std::max(latest, times[i]);
    }
    for (std::size_t i = first_key; i < packets_.size(); ++i) {
        if (times[i] != kNone) continue;
        const std::int64_t step = packets_[i].duration > 0 ? packets_[i].duration : 1;
        times[i] = latest == kNone ? 0 : saturated_add(latest, step);
        latest = times[i];
    }

    // Pictures in presentation order; equal times keep their decode order.
    // A last packet cut short by the end of the file does not decode.
    const auto shows = [&](std::size_t i) {
        return packets_[i].shows && !(i + 1 == packets_.size() && packets_[i].corrupt);
    };
    std::vector<std::size_t> pictures;
    for (std::size_t i = first_key; i < packets_.size(); ++i) {
        if (shows(i)) pictures.push_back(i);
    }
    std::stable_sort(pictures.begin(), pictures.end(),
                     [&](std::size_t a, std::size_t b) { return times[a] < times[b]; });
    table.timestamps.reserve(pictures.size());
    table.stamps.reserve(pictures.size());
    for (const std::size_t i : pictures) {
        const SeenPacket& packet = packets_[i];
        table.timestamps.push_back(times[i]);
        table.stamps.push_back(stamp_of(packet, times[i]));
    }

    std::int64_t shown_before = 0;
    std::int64_t floor = 0;
    for (std::size_t i = first_key; i < packets_.size(); ++i) {
        const SeenPacket& packet = packets_[i];
        if (packet.keyframe || i == first_key) {
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
        if (shows(i)) ++shown_before;
    }
    return table;
}

}  // namespace lorvex
