// A decoded picture into its row of the frames block, laid out as the job's frame format asks:
// planes or R, G, B triples, 8-bit or 16-bit samples, turned as a player shows it or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/frame_format.hpp"
#include "lorvex/worker/row_scaler.hpp"

namespace lorvex {

class RowWriter {
  public:
    // `width` x `height` is the row's picture, after turning; `flags` libswscale's.
    RowWriter(int width, int height, int flags, const FrameFormat& format);

    std::size_t row_bytes() const noexcept { return format_.row_bytes(height_, width_); }

    // Writes `frame` into the row_bytes() bytes at `row`, and nothing outside them.
    //   8-bit samples: the levels RowScaler gives, each one where the layout and the turn put
    //     it (triples of a picture at its own size come straight from its converter).
    //   16-bit samples of a picture of 8 bits or less: those levels times 257 (v << 8 | v).
    //   16-bit samples of a deeper picture: RowScaler's planes at depth d (9 to 16 bits),
    //     carried to 16 bits by repeating their bits: v << (16 - d) | v >> (2d - 16).
    void write(const AVFrame& frame, std::uint8_t* row);

  private:
    FrameFormat format_;
    int width_;
    int height_;
    RowScaler scaler_;                  // at the size before turning
    std::vector<std::uint8_t> levels_;  // 8-bit planes before they are arranged
    std::vector<std::uint16_t> deep_;   // deeper planes before they are arranged
};

}  // namespace lorvex
