#include "lorvex/container/source_state.hpp"

#include <climits>
#include <cstdint>
#include <stdexcept>

namespace lorvex::container {
namespace {

constexpr std::string_view kMagic = "LVXPROB2";
// Longer texts than any path, format name or pixel format name lorvex meets.
constexpr std::uint64_t kLongestText = 1 << 16;

void put_rational(FieldWriter& out, AVRational value) {
    out.put_signed(value.num);
    out.put_signed(value.den);
}

// The fields a probe's state has besides those of packed_fields.hpp.
class StateReader : public FieldReader {
  public:
    explicit StateReader(std::string_view bytes) : FieldReader(bytes, kMagic, "probe state") {}
    int take_int() {
        const std::int64_t value = take_signed();
        if (value < INT32_MIN || value > INT32_MAX) refuse("a number out of range");
        return static_cast<int>(value);
    }
    bool take_flag() {
        const std::uint64_t value = take();
        if (value > 1) refuse("a flag out of range");
        return value == 1;
    }
    AVRational take_rational() { return {take_int(), take_int()}; }
};

}  // namespace

std::string encode_source_state(const SourceState& state) {
    FieldWriter out(kMagic);
    put_identity(out, state.identity);
    out.put_text(state.url);
    out.put_text(state.format_name);
    out.put(state.streams.size());
    for (const StreamInfo& info : state.streams) {
        out.put_signed(info.type);
        out.put_signed(info.codec_id);
        out.put_signed(info.recorded_frames);
        out.put_signed(info.width);
        out.put_signed(info.height);
        put_rational(out, info.average_rate);
        put_rational(out, info.time_base);
        out.put_signed(info.duration);
        out.put_signed(info.start_time);
        const auto& table = state.facts.tables[static_cast<std::size_t>(info.index)];
        out.put(table ? 1 : 0);
        if (table) out.put_text(encode_frame_table({state.identity, *table}));
    }
    out.put(state.picture ? 1 : 0);
    if (state.picture) {
        out.put(state.picture->pixel_format ? 1 : 0);
        out.put_text(state.picture->pixel_format.value_or(""));
        out.put(state.picture->bit_depth ? 1 : 0);
        out.put_signed(state.picture->bit_depth.value_or(0));
        out.put_signed(state.picture->rotation);
    }
    const VideoPackets& packets = state.facts.video_packets;
    out.put(packets.counted ? 1 : 0);
    out.put_signed(packets.lowest);
    out.put_signed(packets.highest);
    out.put(packets.keyframes.size());
    for (const std::int64_t keyframe : packets.keyframes) out.put_signed(keyframe);
    out.put_text(state.facts.index_declined);
    return out.take();
}

SourceState decode_source_state(std::string_view bytes) {
    StateReader reader(bytes);
    SourceState state;
    state.identity = take_identity(reader);
    state.url = reader.take_text(kLongestText);
    state.format_name = reader.take_text(kLongestText);
    const std::uint64_t count = reader.take_count(12 * 8);
    state.facts.tables.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        StreamInfo info;
        info.index = static_cast<int>(i);
        const int type = reader.take_int();
        if (type < AVMEDIA_TYPE_UNKNOWN || type >= AVMEDIA_TYPE_NB)
            reader.refuse("unknown stream type");
        info.type = static_cast<AVMediaType>(type);
        info.codec_id = static_cast<AVCodecID>(reader.take_int());
        info.recorded_frames = reader.take_signed();
        info.width = reader.take_int();
        info.height = reader.take_int();
        info.average_rate = reader.take_rational();
        info.time_base = reader.take_rational();
        info.duration = reader.take_signed();
        info.start_time = reader.take_signed();
        if (reader.take_flag()) {
            if (info.type != AVMEDIA_TYPE_VIDEO)
                reader.refuse("a frame table of a stream not video");
            IdentifiedTable table = decode_frame_table(reader.take_text(UINT64_MAX));
            if (!(table.file == state.identity)) reader.refuse("a frame table of another file");
            state.facts.tables[i] = std::move(table.table);
        }
        state.streams.push_back(info);
    }
    int first_video = -1;
    for (const StreamInfo& info : state.streams) {
        if (info.type == AVMEDIA_TYPE_VIDEO) {
            first_video = info.index;
            break;
        }
    }
    if (first_video >= 0 && !state.facts.tables[static_cast<std::size_t>(first_video)]) {
        reader.refuse("no frame table of the first video stream");
    }
    if (reader.take_flag()) {
        PictureFormat picture;
        const bool has_pixel_format = reader.take_flag();
        const std::string_view pixel_format = reader.take_text(kLongestText);
        if (has_pixel_format) picture.pixel_format = std::string(pixel_format);
        const bool has_depth = reader.take_flag();
        const int depth = reader.take_int();
        if (has_depth) picture.bit_depth = depth;
        picture.rotation = reader.take_int();
        if (picture.rotation % 90 != 0 || picture.rotation < 0 || picture.rotation > 270) {
            reader.refuse("a rotation out of range");
        }
        state.picture = picture;
    }
    VideoPackets& packets = state.facts.video_packets;
    packets.counted = reader.take_flag();
    packets.lowest = reader.take_signed();
    packets.highest = reader.take_signed();
    const std::uint64_t keyframes = reader.take_count(8);
    packets.keyframes.reserve(keyframes);
    for (std::uint64_t i = 0; i < keyframes; ++i) packets.keyframes.push_back(reader.take_signed());
    state.facts.index_declined = reader.take_text(kLongestText);
    if (reader.left() != 0) reader.refuse("bytes after the end");
    return state;
}

}  // namespace lorvex::container
