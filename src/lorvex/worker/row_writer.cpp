#include "lorvex/worker/row_writer.hpp"

#include <cstring>

#include "lorvex/worker/quarter_turns.hpp"

namespace lorvex {
namespace {

// The `width` x `height` turned picture of the planes at `planes` (samples of type In, planes
// of the size before turning) into `row`, each sample `widen`ed to the row's sample type.
template <typename In, typename Widen>
void arrange(const In* planes, const FrameFormat& format, int width, int height, std::uint8_t* row,
             Widen widen) {
    using Out = decltype(widen(In{}));
    const std::ptrdiff_t columns = unturned_width(width, height, format);
    const std::ptrdiff_t lines = unturned_height(width, height, format);
    const std::ptrdiff_t plane = columns * lines;
    const bool triples = format.layout == FrameLayout::pixels;
    for (std::ptrdiff_t y = 0; y < height; ++y) {
        const SourceLine line = source_line(format.quarter_turns, y, columns, lines);
        for (std::ptrdiff_t channel = 0; channel < 3; ++channel) {
            const In* source = planes + channel * plane + line.start;
            // Where sample x of this line goes, and the distance to sample x + 1.
            const std::ptrdiff_t first =
                triples ? y * width * 3 + channel : (channel * height + y) * width;
            const std::ptrdiff_t apart = triples ? 3 : 1;
            for (std::ptrdiff_t x = 0; x < width; ++x) {
                const Out value = widen(source[x * line.step]);
                std::memcpy(row + (first + x * apart) * static_cast<std::ptrdiff_t>(sizeof(Out)),
                            &value, sizeof(Out));
            }
        }
    }
}

}  // namespace

RowWriter::RowWriter(int width, int height, int flags, const FrameFormat& format)
    : format_(format),
      width_(width),
      height_(height),
      scaler_(unturned_width(width, height, format), unturned_height(width, height, format),
              flags) {}

void RowWriter::write(const AVFrame& frame, std::uint8_t* row) {
    const bool wide = format_.sample_bytes == 2;
    if (!wide && format_.quarter_turns == 0) {
        if (format_.layout == FrameLayout::planes) {
            scaler_.scale(frame, row);
        } else {
            scaler_.scale_to_pixels(frame, row);
        }
        return;
    }
    const std::size_t samples = 3 * static_cast<std::size_t>(width_) * height_;
    if (wide && RowScaler::sample_depth(frame) > 8) {
        deep_.resize(samples);
        const int depth = scaler_.scale_deep(frame, deep_.data());
        arrange(deep_.data(), format_, width_, height_, row, [depth](std::uint16_t v) {
            return static_cast<std::uint16_t>(v << (16 - depth) | v >> (2 * depth - 16));
        });
        return;
    }
    levels_.resize(samples);
    scaler_.scale(frame, levels_.data());
    if (wide) {
        arrange(levels_.data(), format_, width_, height_, row,
                [](std::uint8_t v) { return static_cast<std::uint16_t>(v * 257); });
    } else {
        arrange(levels_.data(), format_, width_, height_, row, [](std::uint8_t v) { return v; });
    }
}

}  // namespace lorvex
