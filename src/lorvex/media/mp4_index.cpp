#include "lorvex/media/mp4_index.hpp"

#include <unordered_map>

#include "lorvex/media/h264_keyframes.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex {
namespace {

constexpr std::uint32_t kEncryptedVideo = 0x656e6376;  // 'encv'

[[noreturn]] void decline(const std::string& reason) {
    throw IndexDeclined(reason);
}

// How much of the file behind the samples read last stays mapped in: samples come nearly in
// file order, and what lies further behind is let go.
constexpr std::uint64_t kMappedBehind = std::uint64_t{16} << 20;

void check_codec(AVCodecID codec) {
    switch (codec) {
        case AV_CODEC_ID_VP8:
        case AV_CODEC_ID_VP9:
            decline("VP8/VP9: which frames are shown is read from the packets");
        case AV_CODEC_ID_AV1:
        case AV_CODEC_ID_VC1:
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_DVVIDEO:
            decline(std::string(avcodec_get_name(codec)) + ": the demuxer parses its packets");
        default:
            return;
    }
}

// Which sample of the track each index entry reads, by its place in the file.
class SampleFinder {
  public:
    explicit SampleFinder(const TrackTables& track) : track_(track) {}

    std::size_t find(const AVIndexEntry& entry) {
        const std::size_t next = last_ + 1;
        if (next < track_.positions.size() && matches(next, entry)) return last_ = next;
        if (by_position_.empty()) {
            by_position_.reserve(track_.positions.size());
            for (std::size_t i = 0; i < track_.positions.size(); ++i) {
                if (!by_position_.emplace(track_.positions[i], i).second) {
                    decline("two samples share a place in the file");
                }
            }
        }
        const auto found = by_position_.find(entry.pos);
        if (found == by_position_.end() || !matches(found->second, entry)) {
            decline("an index entry matches no sample of the track");
        }
        return last_ = found->second;
    }

  private:
    bool matches(std::size_t sample, const AVIndexEntry& entry) const {
        return track_.positions[sample] == entry.pos &&
               static_cast<std::int64_t>(track_.sizes[sample]) == entry.size;
    }
    const TrackTables& track_;
    std::size_t last_ = static_cast<std::size_t>(-1);
    std::unordered_map<std::int64_t, std::size_t> by_position_;
};

}  // namespace

std::vector<PacketFacts> indexed_packets(const AVFormatContext& format, int stream,
                                         const MappedFile& file) {
    if (!header_is_complete(format)) decline("not an MP4/MOV file read from its header");
    const std::vector<TrackTables> tracks = read_track_tables(file.bytes());
    if (tracks.size() != format.nb_streams) decline("streams that are not tracks (cover art)");
    AVStream& video = *format.streams[stream];
    const AVCodecParameters& parameters = *video.codecpar;
    check_codec(parameters.codec_id);
    const TrackTables& track = tracks[static_cast<std::size_t>(stream)];
    if (track.edit_count > 1) decline("several edits");
    if (track.description_count != 1) decline("several sample descriptions");
    if (track.first_description == kEncryptedVideo) decline("encrypted samples");
    if (track.sync_sample_count == 0u) decline("an empty sync sample table");
    if (track.has_composition_offsets && track.composition_offsets.size() < track.sizes.size()) {
        decline("composition offsets end before the samples");
    }

    // Keyframes as the demuxer's parser decides them, where the samples are at hand; a remote
    // video's are taken from its sync sample table, which is what the demuxer seeks by: a
    // decoder's landing check refuses any keyframe the parser would not have marked.
    std::optional<H264Keyframes> h264;
    if (parameters.codec_id == AV_CODEC_ID_H264 && file.holds_samples()) h264.emplace(parameters);

    const int count = avformat_index_get_entries_count(&video);
    std::vector<PacketFacts> packets;
    packets.reserve(static_cast<std::size_t>(count));
    SampleFinder finder(track);
    std::int64_t last_dts = AV_NOPTS_VALUE;
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry& entry = *avformat_index_get_entry(&video, i);
        if (entry.size <= 0) decline("an empty sample");
        if (entry.pos < 0 ||
            static_cast<std::uint64_t>(entry.pos) + static_cast<unsigned>(entry.size) >
                file.size()) {
            decline("samples past the end of the file");
        }
        const std::size_t sample = finder.find(entry);
        // Decode times that go back make the demuxer drop some; it never sees them here.
        if (last_dts != AV_NOPTS_VALUE && entry.timestamp < last_dts) {
            decline("decode times that go back");
        }
        last_dts = entry.timestamp;
        PacketFacts packet;
        packet.dts = entry.timestamp;
        packet.pts =
            track.has_composition_offsets
                ? av_sat_add64(entry.timestamp, av_sat_add64(track.composition_shift,
                                                             track.composition_offsets[sample]))
                : entry.timestamp;
        // The demuxer rewrites the decode time of a packet shown before it is decoded, except
        // for H.264 and HEVC (compute_pkt_fields).
        if (packet.pts < packet.dts && parameters.codec_id != AV_CODEC_ID_H264 &&
            parameters.codec_id != AV_CODEC_ID_HEVC) {
            decline("a sample shown before it is decoded");
        }
        const bool discard = (entry.flags & AVINDEX_DISCARD_FRAME) != 0;
        packet.shows = !discard;
        packet.keyframe =
            h264 ? h264->is_keyframe(file.bytes().subspan(static_cast<std::size_t>(entry.pos),
                                                          static_cast<std::size_t>(entry.size)))
                 : (entry.flags & AVINDEX_KEYFRAME) != 0;
        if (h264 && static_cast<std::uint64_t>(entry.pos) > 2 * kMappedBehind) {
            file.release_before(static_cast<std::uint64_t>(entry.pos) - kMappedBehind);
        }
        packets.push_back(packet);
    }
    return packets;
}

IndexedTable index_frame_table(const AVFormatContext& format, const std::string& path) {
    const int stream = first_video_stream(format);
    if (stream < 0) return {std::nullopt, "no video stream"};
    try {
        if (!header_is_complete(format)) decline("not an MP4/MOV file read from its header");
        std::optional<MappedFile> mapped;
        try {
            mapped.emplace(path);
        } catch (const std::runtime_error& error) {
            decline(error.what());
        }
        const MappedFile& file = *mapped;
        FrameTableBuilder builder(format.streams[stream]->codecpar->codec_id);
        for (const PacketFacts& packet : indexed_packets(format, stream, file)) builder.add(packet);
        if (builder.packets_to_decode() > 0) decline("a start that only a decode can tell");
        return {builder.finish(), {}};
    } catch (const IndexDeclined& declined) {
        return {std::nullopt, declined.what()};
    }
}

}  // namespace lorvex
