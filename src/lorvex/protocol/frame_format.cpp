#include "lorvex/protocol/frame_format.hpp"

#include <stdexcept>

#include "lorvex/protocol/packed_fields.hpp"

namespace lorvex {
namespace {

constexpr std::string_view kMagic = "LVXFMT01";

}  // namespace

std::string encode_frame_format(const FrameFormat& format) {
    FieldWriter out(kMagic);
    out.put(format.layout == FrameLayout::pixels ? 1 : 0, 4);
    out.put(static_cast<std::uint64_t>(format.sample_bytes), 4);
    out.put(static_cast<std::uint64_t>(format.quarter_turns), 4);
    return out.take();
}

FrameFormat decode_frame_format(std::string_view bytes) {
    FieldReader reader(bytes, kMagic, "frame format");
    FrameFormat format;
    const std::uint64_t layout = reader.take(4);
    const std::uint64_t sample_bytes = reader.take(4);
    const std::uint64_t quarter_turns = reader.take(4);
    if (reader.left() != 0) reader.refuse("wrong length");
    if (layout > 1) reader.refuse("unknown layout " + std::to_string(layout));
    if (sample_bytes != 1 && sample_bytes != 2) {
        reader.refuse("samples of " + std::to_string(sample_bytes) + " bytes");
    }
    if (quarter_turns > 3) reader.refuse(std::to_string(quarter_turns) + " quarter turns");
    format.layout = layout == 1 ? FrameLayout::pixels : FrameLayout::planes;
    format.sample_bytes = static_cast<int>(sample_bytes);
    format.quarter_turns = static_cast<int>(quarter_turns);
    return format;
}

}  // namespace lorvex
