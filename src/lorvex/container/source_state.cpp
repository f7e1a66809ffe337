#include "lorvex/container/source_state.hpp"

#include <climits>
#include <cstdint>
#include <stdexcept>

namespace lorvex::container {
namespace {

constexpr std::string_view kMagic = "LVXPROB1";
// Longer texts than any path, format name or pixel format name lorvex meets.
constexpr std::uint64_t kLongestText = 1 << 16;

void put(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void put_text(std::string& out, std::string_view text) {
    put(out, text.size());
    out.append(text);
}

void put_rational(std::string& out, AVRational value) {
    put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(value.num)));
    put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(value.den)));
}

[[noreturn]] void refuse(const char* reason) {
    throw std::invalid_argument(std::string("bad probe state: ") + reason);
}

class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t take() {
        if (bytes_.size() - position_ < 8) refuse("truncated");
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_++]))
                     << (8 * i);
        }
        return value;
    }
    std::int64_t take_signed() { return static_cast<std::int64_t>(take()); }
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
    std::string_view take_bytes(std::uint64_t limit) {
        const std::uint64_t size = take();
        if (size > limit || size > bytes_.size() - position_) refuse("a text out of range");
        const std::string_view text = bytes_.substr(position_, size);
        position_ += size;
        return text;
    }
    AVRational take_rational() { return {take_int(), take_int()}; }
    std::uint64_t take_count(std::size_t each) {
        const std::uint64_t count = take();
        if (count > (bytes_.size() - position_) / each) refuse("a count out of range");
        return count;
    }
    bool done() const { return position_ == bytes_.size(); }

  private:
    std::string_view bytes_;
    std::size_t position_ = 0;
};

}  // namespace

std::string encode_source_state(const SourceState& state) {
    std::string out(kMagic);
    put(out, state.identity.device);
    put(out, state.identity.inode);
    put(out, static_cast<std::uint64_t>(state.identity.size));
    put(out, static_cast<std::uint64_t>(state.identity.modified_ns));
    put_text(out, state.url);
    put_text(out, state.format_name);
    put(out, state.streams.size());
    for (const StreamInfo& info : state.streams) {
        put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(info.type)));
        put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(info.codec_id)));
        put(out, static_cast<std::uint64_t>(info.recorded_frames));
        put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(info.width)));
        put(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(info.height)));
        put_rational(out, info.average_rate);
        put_rational(out, info.time_base);
        put(out, static_cast<std::uint64_t>(info.duration));
        put(out, static_cast<std::uint64_t>(info.start_time));
        const auto& table = state.facts.tables[static_cast<std::size_t>(info.index)];
        put(out, table ? 1 : 0);
        if (table) put_text(out, encode_frame_table({state.identity, *table}));
    }
    put(out, state.picture ? 1 : 0);
    if (state.picture) {
        put(out, state.picture->pixel_format ? 1 : 0);
        put_text(out, state.picture->pixel_format.value_or(""));
        put(out, state.picture->bit_depth ? 1 : 0);
        put(out, static_cast<std::uint64_t>(state.picture->bit_depth.value_or(0)));
        put(out, static_cast<std::uint64_t>(state.picture->rotation));
    }
    const VideoPackets& packets = state.facts.video_packets;
    put(out, packets.counted ? 1 : 0);
    put(out, static_cast<std::uint64_t>(packets.lowest));
    put(out, static_cast<std::uint64_t>(packets.highest));
    put(out, packets.keyframes.size());
    for (const std::int64_t keyframe : packets.keyframes)
        put(out, static_cast<std::uint64_t>(keyframe));
    put_text(out, state.facts.index_declined);
    return out;
}

SourceState decode_source_state(std::string_view bytes) {
    if (bytes.substr(0, kMagic.size()) != kMagic) refuse("not a probe state");
    Reader reader(bytes.substr(kMagic.size()));
    SourceState state;
    state.identity.device = reader.take();
    state.identity.inode = reader.take();
    state.identity.size = reader.take_signed();
    state.identity.modified_ns = reader.take_signed();
    state.url = reader.take_bytes(kLongestText);
    state.format_name = reader.take_bytes(kLongestText);
    const std::uint64_t count = reader.take_count(12 * 8);
    state.facts.tables.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        StreamInfo info;
        info.index = static_cast<int>(i);
        const int type = reader.take_int();
        if (type < AVMEDIA_TYPE_UNKNOWN || type >= AVMEDIA_TYPE_NB) refuse("unknown stream type");
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
            if (info.type != AVMEDIA_TYPE_VIDEO) refuse("a frame table of a stream not video");
            IdentifiedTable table = decode_frame_table(reader.take_bytes(UINT64_MAX));
            if (!(table.file == state.identity)) refuse("a frame table of another file");
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
        refuse("no frame table of the first video stream");
    }
    if (reader.take_flag()) {
        PictureFormat picture;
        const bool has_pixel_format = reader.take_flag();
        const std::string_view pixel_format = reader.take_bytes(kLongestText);
        if (has_pixel_format) picture.pixel_format = std::string(pixel_format);
        const bool has_depth = reader.take_flag();
        const int depth = reader.take_int();
        if (has_depth) picture.bit_depth = depth;
        picture.rotation = reader.take_int();
        if (picture.rotation % 90 != 0 || picture.rotation < 0 || picture.rotation > 270) {
            refuse("a rotation out of range");
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
    state.facts.index_declined = reader.take_bytes(kLongestText);
    if (!reader.done()) refuse("bytes after the end");
    return state;
}

}  // namespace lorvex::container
