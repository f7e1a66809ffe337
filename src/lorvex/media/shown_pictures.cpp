#include "lorvex/media/shown_pictures.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace lorvex {
namespace {

// VP8's 3-byte frame tag: bit 4 is show_frame.
bool vp8_frame_shown(std::span<const std::uint8_t> frame) {
    return frame.empty() || (frame[0] & 0x10) != 0;
}

// The first bits of a VP9 uncompressed header: frame_marker (2), profile (2, plus a reserved
// bit for profile 3), show_existing_frame (1), and unless that is set frame_type (1) and
// show_frame (1).
bool vp9_frame_shown(std::span<const std::uint8_t> frame) {
    if (frame.empty()) return false;
    unsigned bits = static_cast<unsigned>(frame[0]) << 8;
    if (frame.size() > 1) bits |= frame[1];
    int position = 0;
    const auto take = [&](int count) {
        const unsigned value = (bits >> (16 - position - count)) & ((1u << count) - 1);
        position += count;
        return value;
    };
    if (take(2) != 2) return true;  // not a frame header we know: let the decoder decide
    const unsigned low = take(1);
    const unsigned profile = (take(1) << 1) | low;
    if (profile == 3) take(1);
    if (take(1) == 1) return true;  // show_existing_frame
    take(1);                        // frame_type
    return take(1) == 1;
}

// A VP9 superframe packs several frames behind an index in its last bytes; it shows a picture
// when any of them is shown.
bool vp9_packet_shown(std::span<const std::uint8_t> data) {
    if (data.empty()) return false;
    const std::uint8_t marker = data.back();
    if ((marker & 0xe0) == 0xc0) {
        const std::size_t frames = (marker & 0x7) + 1;
        const std::size_t width = ((marker >> 3) & 0x3) + 1;
        const std::size_t index_size = 2 + width * frames;
        if (data.size() >= index_size && data[data.size() - index_size] == marker) {
            std::size_t offset = 0;
            const std::size_t payload = data.size() - index_size;
            bool shown = false;
            for (std::size_t i = 0; i < frames; ++i) {
                std::size_t size = 0;
                for (std::size_t byte = 0; byte < width; ++byte) {
                    size |= static_cast<std::size_t>(
                                data[data.size() - index_size + 1 + i * width + byte])
                            << (8 * byte);
                }
                if (size > payload - offset) return true;  // a broken index: decoder decides
                shown = shown || vp9_frame_shown(data.subspan(offset, size));
                offset += size;
            }
            return shown;
        }
    }
    return vp9_frame_shown(data);
}

}  // namespace

bool packet_shows_picture(AVCodecID codec, const AVPacket& packet) {
    if (packet.size <= 0 || packet.data == nullptr) return false;
    if (packet.flags & AV_PKT_FLAG_DISCARD) return false;
    const std::span<const std::uint8_t> data(packet.data, static_cast<std::size_t>(packet.size));
    switch (codec) {
        case AV_CODEC_ID_VP8:
            return vp8_frame_shown(data);
        case AV_CODEC_ID_VP9:
            return vp9_packet_shown(data);
        default:
            return true;
    }
}

}  // namespace lorvex
