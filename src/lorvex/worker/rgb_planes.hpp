// 8-bit Y'CbCr pictures at their own size into R, G, B planes, without libswscale: its planar
// RGB output runs its slow generic path, without the vector code of its packed output, while
// this conversion is a few vector operations per 16 pixels.
//
// The arithmetic is libswscale's own for that output, integer for integer: chroma interpolated
// bilinearly (each chroma sample centred between the luma samples it covers, edges repeated),
// the same factors, the same rounding, so both give the same levels (the ffmpeg command line's
// `-pix_fmt gbrp` with bilinear flags included) for pictures of even width and height (4:2:0
// and 4:2:2; libswscale samples the chroma of odd sizes elsewhere, so RowScaler keeps those
// for it). One difference is meant: beyond the legal levels of limited range (Y' and Cb near
// 255) libswscale's 32-bit sum for blue overflows to black, and this saturates to 255.
// The arithmetic is written out in convert_pixels in rgb_planes.cpp, which defines the result
// on every processor; the vector code computes the same faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvex {

// How the chroma planes of a picture are subsampled.
enum class ChromaSubsampling {
    none,        // 4:4:4
    horizontal,  // 4:2:2
    both,        // 4:2:0
};

// A colour matrix and range as the factors of the fixed-point arithmetic, in units of 2^-13.
struct RgbFactors {
    std::int16_t luma_offset;  // black in units of 1/16 of a level: 256 in limited range, else 0
    std::int16_t luma;
    std::int16_t v_to_r;
    std::int16_t u_to_g;
    std::int16_t v_to_g;
    std::int16_t u_to_b;
};

// `coefficients` as sws_getCoefficients gives them (Cr to R, Cb to B, Cb to G, Cr to G, in
// units of 2^-16, for limited-range chroma); `full_range` for pictures of full-range samples.
RgbFactors rgb_factors(const int coefficients[4], bool full_range);

// The planes of one 8-bit Y'CbCr picture.
struct YuvPicture {
    const std::uint8_t* planes[3];  // Y', Cb, Cr
    std::ptrdiff_t strides[3];
    int width;
    int height;
    ChromaSubsampling subsampling;
};

class RgbPlaneConverter {
  public:
    // Writes lines [first_line, first_line + line_count) of the picture's R, G and B planes
    // to destination[0], [1] and [2], line k of the band `stride` bytes after line k - 1, and
    // writes nothing else. With `pixel_step` 3 the samples are R, G, B triples instead:
    // destination[1] and [2] must then be destination[0] + 1 and + 2.
    void convert(const YuvPicture& picture, const RgbFactors& factors, int first_line,
                 int line_count, std::uint8_t* const destination[3], std::ptrdiff_t stride,
                 int pixel_step = 1);

  private:
    // One line of each chroma plane, blended vertically, in units of 1/4, with one repeated
    // sample before and after and room for whole vector loads.
    std::vector<std::int16_t> chroma_;
};

}  // namespace lorvex
