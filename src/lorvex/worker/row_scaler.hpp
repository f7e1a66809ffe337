// Converts decoded pictures into rows of the frames block: three planes R, G, B of
// height x width bytes each, one after the other, written in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/worker/interpolation.hpp"
#include "lorvex/worker/rgb_planes.hpp"

namespace lorvex {

class RowScaler {
  public:
    RowScaler(int width, int height, int flags);

    // Writes `frame` (any size and pixel format libswscale reads) into the 3 * height * width
    // bytes at `row`, and nothing outside them. Colour matrix and range come from the frame's
    // tags, BT.601 limited range where the frame has none; the output is full-range RGB.
    // 8-bit Y'CbCr pictures of the output's own size are converted by RgbPlaneConverter (the
    // same levels, a fifth of the time), everything else by libswscale.
    void scale(const AVFrame& frame, std::uint8_t* row);

    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

  private:
    // The picture as RgbPlaneConverter takes it, when it does.
    std::optional<YuvPicture> own_size_picture(const AVFrame& frame) const;
    void configure(const AVFrame& frame);
    void run(const AVFrame& frame, std::uint8_t* const destination[4], const int strides[4]);

    int width_;
    int height_;
    int flags_;
    UniqueSwsContext context_;
    int source_width_ = 0;
    int source_height_ = 0;
    AVPixelFormat source_format_ = AV_PIX_FMT_NONE;
    // What `context_` was last told about colour, so that it is only told again on a change.
    int colorspace_ = -1;
    int source_full_range_ = -1;
    std::vector<std::uint8_t> scratch_;  // narrow pictures only
    RgbPlaneConverter converter_;
    RgbFactors factors_{};
    // What `factors_` were made for.
    int factors_colorspace_ = -1;
    int factors_full_range_ = -1;
};

}  // namespace lorvex
