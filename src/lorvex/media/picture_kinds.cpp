#include "lorvex/media/picture_kinds.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace lorvex {
namespace {

// The bytes after the first start code 00 00 01 <code> in `data`, or an empty span.
std::span<const std::uint8_t> after_start_code(std::span<const std::uint8_t> data,
                                               std::uint8_t code) {
    for (std::size_t i = 0; i + 3 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == code) {
            return data.subspan(i + 4);
        }
    }
    return {};
}

// MPEG-1/2 picture header: temporal_reference (10 bits), picture_coding_type (3 bits:
// 1 I, 2 P, 3 B, 4 D).
PictureKind mpeg12_kind(std::span<const std::uint8_t> data) {
    const auto header = after_start_code(data, 0x00);
    if (header.size() < 2) return PictureKind::unknown;
    switch ((header[1] >> 3) & 0x7) {
        case 1:
        case 2:
            return PictureKind::reference;
        case 3:
            return PictureKind::bidirectional;
        default:
            return PictureKind::unknown;
    }
}

// MPEG-4 part 2 VOP header: vop_coding_type (2 bits: 0 I, 1 P, 2 B, 3 S).
PictureKind mpeg4_kind(std::span<const std::uint8_t> data) {
    const auto header = after_start_code(data, 0xb6);
    if (header.empty()) return PictureKind::unknown;
    return (header[0] >> 6) == 2 ? PictureKind::bidirectional : PictureKind::reference;
}

}  // namespace

PictureKind picture_kind(AVCodecID codec, const AVPacket& packet) {
    if (packet.size <= 0 || packet.data == nullptr) return PictureKind::unknown;
    const std::span<const std::uint8_t> data(packet.data, static_cast<std::size_t>(packet.size));
    switch (codec) {
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_MPEG2VIDEO:
            return mpeg12_kind(data);
        case AV_CODEC_ID_MPEG4:
            return mpeg4_kind(data);
        default:
            return PictureKind::unknown;
    }
}

}  // namespace lorvex
