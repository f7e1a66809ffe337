// How a worker lays each frame out in its row, when the loader asks for more than the 14 items
// of the command line say: packed pixels instead of planes, 16-bit samples, the picture turned
// as a player shows it. The loader hands it over as an inherited memory file; a worker given
// none writes the planes of 8-bit samples it always has.
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

// The format in the memory file of that name among this process's inherited descriptors; the
// default format when there is none. Throws std::runtime_error when there is one that cannot
// be read: writing rows in a layout the loader did not ask for would corrupt them silently.
FrameFormat inherited_frame_format();

}  // namespace lorvex
