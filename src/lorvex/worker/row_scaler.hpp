// Converts decoded pictures into RGB at a given size: three planes R, G, B of height x width
// bytes each, one after the other, written in place (or the same levels as triples, or the
// planes at the picture's own precision).
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

    // The same levels as height x width triples R, G, B: 3 * height * width bytes at `row`.
    void scale_to_pixels(const AVFrame& frame, std::uint8_t* row);

    // The bits per sample of the picture's first component.
    static int sample_depth(const AVFrame& frame);

    // The picture at its own precision, for pictures of more than 8 bits per sample: planes
    // R, G, B of height x width samples of the returned depth (9, 10, 12, 14 or 16 bits, the
    // least of those that holds the picture's), 3 * height * width of them at `planes`.
    int scale_deep(const AVFrame& frame, std::uint16_t* planes);

    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

  private:
    // The picture as RgbPlaneConverter takes it, when it does.
    std::optional<YuvPicture> own_size_picture(const AVFrame& frame) const;
    // The converter's factors for the frame's colour matrix and range.
    const RgbFactors& factors_for(const AVFrame& frame);
    // libswscale set up for `frame` and planar RGB `output`.
    void configure(const AVFrame& frame, AVPixelFormat output);
    // libswscale's planes into R, G, B planes of `line_bytes` a line at `out`, nothing else.
    void write_planes(const AVFrame& frame, std::uint8_t* out, std::size_t line_bytes);
    void run(const AVFrame& frame, std::uint8_t* const destination[4], const int strides[4]);

    int width_;
    int height_;
    int flags_;
    UniqueSwsContext context_;
    int source_width_ = 0;
    int source_height_ = 0;
    AVPixelFormat source_format_ = AV_PIX_FMT_NONE;
    AVPixelFormat output_format_ = AV_PIX_FMT_NONE;
    // What `context_` was last told about colour, so that it is only told again on a change.
    int colorspace_ = -1;
    int source_full_range_ = -1;
    std::vector<std::uint8_t> scratch_;  // narrow pictures only
    std::vector<std::uint8_t> planes_;   // libswscale's planes on their way to triples
    RgbPlaneConverter converter_;
    RgbFactors factors_{};
    // What `factors_` were made for.
    int factors_colorspace_ = -1;
    int factors_full_range_ = -1;
};

}  // namespace lorvex
