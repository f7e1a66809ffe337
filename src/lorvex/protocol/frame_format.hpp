// How a decoder lays each frame out in its row: planes or packed pixels, 8-bit or 16-bit
// samples, the picture turned as a player shows it or not. The engine's jobs say it
// (decoder_session.hpp); the worker programs of lorvex.tandry write the default, the planes of
// 8-bit samples.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lorvex {

enum class FrameLayout {
    planes,  // R, G and B planes of height x width samples each: (3, H, W)
    pixels,  // rows of R, G, B triples: (H, W, 3)
};

struct FrameFormat {
    FrameLayout layout = FrameLayout::planes;
    // 1: 8-bit samples; 2: 16-bit samples in this machine's byte order, the picture's own
    // precision carried up by bit replication.
    int sample_bytes = 1;
    // Clockwise quarter turns applied to the picture after scaling (0 to 3); the command
    // line's height and width are the turned picture's.
    int quarter_turns = 0;

    // The bytes of one row of the frames block.
    std::size_t row_bytes(int height, int width) const noexcept {
        return 3 * static_cast<std::size_t>(height) * static_cast<std::size_t>(width) *
               static_cast<std::size_t>(sample_bytes);
    }
    // Whether the picture before turning is width x height rather than height x width.
    bool turns_sideways() const noexcept { return quarter_turns % 2 != 0; }

    friend bool operator==(const FrameFormat&, const FrameFormat&) = default;
};

std::string encode_frame_format(const FrameFormat& format);

// Accepts exactly what encode_frame_format writes; throws std::invalid_argument otherwise.
FrameFormat decode_frame_format(std::string_view bytes);

}  // namespace lorvex
