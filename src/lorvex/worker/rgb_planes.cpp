#include "lorvex/worker/rgb_planes.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#define LORVEX_HAVE_AVX2_PATH 1
#endif

namespace lorvex {
namespace {

// Chroma in units of 1/16 (two blends of 3:1) is centred on this.
constexpr int kChromaZero = 128 * 16;
// Samples kept before and after a chroma line, and room for whole vector loads past its end.
constexpr int kChromaPad = 1;
constexpr int kVectorSlack = 16;
// A level is the sum below in units of 2^-17, rounded down after adding half a level.
constexpr int kLevelShift = 17;
constexpr int kHalfLevel = 1 << (kLevelShift - 1);

inline std::uint8_t to_level(int sum) {
    return static_cast<std::uint8_t>(std::clamp((sum + kHalfLevel) >> kLevelShift, 0, 255));
}

// Pixels [x, end) of one line. `luma` is the line's Y'; `u4` and `v4` its chroma lines (see
// RgbPlaneConverter::chroma_), one sample per pixel, or one per two pixels when
// `half_width`. This is the conversion's definition; the vector code computes the same.
// `step` is 1 for planes, 3 for R, G, B triples.
void convert_pixels(const std::uint8_t* luma, const std::int16_t* u4, const std::int16_t* v4,
                    bool half_width, const RgbFactors& f, int x, int end, std::uint8_t* r,
                    std::uint8_t* g, std::uint8_t* b, std::ptrdiff_t step) {
    for (; x < end; ++x) {
        int u;  // chroma in units of 1/16
        int v;
        if (half_width) {
            // Sample j sits between pixels 2j and 2j + 1: each pixel takes 3/4 of the sample
            // it lies over and 1/4 of the neighbour on its side.
            const int j = x >> 1;
            const int side = (x & 1) ? j + 1 : j - 1;
            u = 3 * u4[j] + u4[side];
            v = 3 * v4[j] + v4[side];
        } else {
            u = 4 * u4[x];
            v = 4 * v4[x];
        }
        const int y = 16 * luma[x] - f.luma_offset;  // units of 1/16, as the chroma
        u -= kChromaZero;
        v -= kChromaZero;
        r[x * step] = to_level(y * f.luma + v * f.v_to_r);
        g[x * step] = to_level(y * f.luma + u * f.u_to_g + v * f.v_to_g);
        b[x * step] = to_level(y * f.luma + u * f.u_to_b);
    }
}

#ifdef LORVEX_HAVE_AVX2_PATH
bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// Chroma for 16 pixels from 8 samples and their neighbours, in units of 1/16.
[[gnu::target("avx2")]] inline __m256i interpolated(const std::int16_t* samples) {
    const __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples));
    const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples - 1));
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + 1));
    const __m128i three = _mm_add_epi16(_mm_add_epi16(centre, centre), centre);
    const __m128i even = _mm_add_epi16(three, left);
    const __m128i odd = _mm_add_epi16(three, right);
    return _mm256_set_m128i(_mm_unpackhi_epi16(even, odd), _mm_unpacklo_epi16(even, odd));
}

// Pairs (a, b) of 16 pixels, as pmaddwd multiplies them with a pair of factors: the first
// and second four pixels of each 128-bit lane. Packing the sums back (packs_epi32 of the two)
// restores the pixel order, lane by lane.
struct Pairs {
    __m256i low;
    __m256i high;
};

[[gnu::target("avx2")]] inline Pairs pairs(__m256i a, __m256i b) {
    return {_mm256_unpacklo_epi16(a, b), _mm256_unpackhi_epi16(a, b)};
}

[[gnu::target("avx2")]] inline __m256i factor_pair(std::int16_t a, std::int16_t b) {
    return _mm256_set1_epi32(static_cast<int>(static_cast<std::uint16_t>(a)) |
                             (static_cast<int>(static_cast<std::uint16_t>(b)) << 16));
}

// Each pair's two products, summed: 32-bit sums in the pairs' order.
[[gnu::target("avx2")]] inline Pairs products(const Pairs& pairs, __m256i factors) {
    return {_mm256_madd_epi16(pairs.low, factors), _mm256_madd_epi16(pairs.high, factors)};
}

[[gnu::target("avx2")]] inline Pairs sum(const Pairs& a, const Pairs& b) {
    return {_mm256_add_epi32(a.low, b.low), _mm256_add_epi32(a.high, b.high)};
}

// The levels of 16 pixels from their sums, rounded as to_level does, as 16-bit words: the
// first 8 pixels in the low lane, the next 8 in the high one.
[[gnu::target("avx2")]] inline __m256i level_words(const Pairs& sums) {
    const __m256i half = _mm256_set1_epi32(kHalfLevel);
    const __m256i low = _mm256_srai_epi32(_mm256_add_epi32(sums.low, half), kLevelShift);
    const __m256i high = _mm256_srai_epi32(_mm256_add_epi32(sums.high, half), kLevelShift);
    return _mm256_packs_epi32(low, high);
}

// The factors of the conversion, as the vector code uses them.
struct VectorFactors {
    __m256i luma_offset;
    __m256i zero;
    __m256i luma_and_v_to_r;
    __m256i luma_and_u_to_b;
    __m256i luma_and_u_to_g;
    __m256i v_to_g;
};

[[gnu::target("avx2")]] inline VectorFactors vector_factors(const RgbFactors& f) {
    return {_mm256_set1_epi16(f.luma_offset), _mm256_set1_epi16(kChromaZero),
            factor_pair(f.luma, f.v_to_r),    factor_pair(f.luma, f.u_to_b),
            factor_pair(f.luma, f.u_to_g),    factor_pair(f.v_to_g, 0)};
}

// The R, G and B levels of pixels x to x + 15 as level_words gives them.
struct ChannelWords {
    __m256i red;
    __m256i green;
    __m256i blue;
};

[[gnu::target("avx2")]] inline ChannelWords channel_words(const std::uint8_t* luma,
                                                          const std::int16_t* u4,
                                                          const std::int16_t* v4, bool half_width,
                                                          const VectorFactors& f, int x) {
    __m256i u;
    __m256i v;
    if (half_width) {
        u = interpolated(u4 + x / 2);
        v = interpolated(v4 + x / 2);
    } else {
        u = _mm256_slli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(u4 + x)), 2);
        v = _mm256_slli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v4 + x)), 2);
    }
    u = _mm256_sub_epi16(u, f.zero);
    v = _mm256_sub_epi16(v, f.zero);
    const __m256i y8 =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x)));
    const __m256i y = _mm256_sub_epi16(_mm256_slli_epi16(y8, 4), f.luma_offset);
    const Pairs yv = pairs(y, v);
    const Pairs yu = pairs(y, u);
    const Pairs v0 = pairs(v, _mm256_setzero_si256());
    return {level_words(products(yv, f.luma_and_v_to_r)),
            level_words(sum(products(yu, f.luma_and_u_to_g), products(v0, f.v_to_g))),
            level_words(products(yu, f.luma_and_u_to_b))};
}

// 16 levels as bytes, in pixel order.
[[gnu::target("avx2")]] inline __m128i to_levels(__m256i words) {
    return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

// Byte j of the k-th 16 bytes of 16 R, G, B triples is sample (16k + j) / 3 of channel
// (16k + j) % 3: for each part k and channel c, the shuffle that picks channel c's samples
// into their places (0x80: none, a zero byte), the same in both lanes.
struct TripleShuffles {
    alignas(32) std::uint8_t masks[3][3][32];
};

constexpr TripleShuffles triple_shuffles() {
    TripleShuffles shuffles{};
    for (int part = 0; part < 3; ++part) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int j = 0; j < 32; ++j) {
                const int position = 16 * part + j % 16;
                shuffles.masks[part][channel][j] =
                    position % 3 == channel ? static_cast<std::uint8_t>(position / 3) : 0x80;
            }
        }
    }
    return shuffles;
}

constexpr TripleShuffles kTripleShuffles = triple_shuffles();

// The levels of two groups of 16 pixels as bytes, the first group in the low lane: packus
// puts each group's halves in alternate quarters, and the permutation gathers them.
[[gnu::target("avx2")]] inline __m256i two_groups(__m256i first, __m256i second) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

// Pixels x to x + 31 as 96 bytes of R, G, B triples at `out`: the levels of two groups of 16,
// one group per lane, interleaved by one set of shuffles.
[[gnu::target("avx2")]] inline void store_triples(std::uint8_t* out, const ChannelWords& first,
                                                  const ChannelWords& second) {
    const __m256i channels[3] = {two_groups(first.red, second.red),
                                 two_groups(first.green, second.green),
                                 two_groups(first.blue, second.blue)};
    for (int part = 0; part < 3; ++part) {
        __m256i bytes = _mm256_setzero_si256();
        for (int channel = 0; channel < 3; ++channel) {
            const __m256i mask = _mm256_load_si256(
                reinterpret_cast<const __m256i*>(kTripleShuffles.masks[part][channel]));
            bytes = _mm256_or_si256(bytes, _mm256_shuffle_epi8(channels[channel], mask));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part),
                         _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + 16 * part),
                         _mm256_extracti128_si256(bytes, 1));
    }
}

// Whole groups of 16 pixels from x on (of 32, for triples); returns where it stopped.
// `triples`: r is the start of a line of R, G, B triples (and g, b unused), else r, g, b are
// planes.
[[gnu::target("avx2")]] int convert_pixels_avx2(const std::uint8_t* luma, const std::int16_t* u4,
                                                const std::int16_t* v4, bool half_width,
                                                const RgbFactors& f, int x, int end,
                                                std::uint8_t* r, std::uint8_t* g, std::uint8_t* b,
                                                bool triples) {
    const VectorFactors factors = vector_factors(f);
    if (triples) {
        for (; x + 32 <= end; x += 32) {
            store_triples(r + 3 * static_cast<std::ptrdiff_t>(x),
                          channel_words(luma, u4, v4, half_width, factors, x),
                          channel_words(luma, u4, v4, half_width, factors, x + 16));
        }
        return x;
    }
    for (; x + 16 <= end; x += 16) {
        const ChannelWords words = channel_words(luma, u4, v4, half_width, factors, x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), to_levels(words.red));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), to_levels(words.green));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), to_levels(words.blue));
    }
    return x;
}
#endif

// One line of a chroma plane in units of 1/4, blended 3:1 from the nearest line and the next
// one towards `far`, with its first and last samples repeated once outside it.
void blend_chroma_line(const std::uint8_t* near, const std::uint8_t* far, int width,
                       std::int16_t* out) {
    for (int j = 0; j < width; ++j) out[j] = static_cast<std::int16_t>(3 * near[j] + far[j]);
    out[-1] = out[0];
    out[width] = out[width - 1];
}

}  // namespace

RgbFactors rgb_factors(const int coefficients[4], bool full_range) {
    // libswscale's arithmetic, which the ffmpeg command line's planar RGB output follows: the
    // factors in units of 2^-16 (full-range chroma spans 255 levels where limited spans 224,
    // divided as integers), then rounded to units of 2^-13.
    const auto chroma = [&](std::int64_t factor) {
        return full_range ? factor * 224 / 255 : factor;
    };
    const auto rounded = [](std::int64_t factor) {
        return static_cast<std::int16_t>(
            std::clamp<std::int64_t>(((factor << 13) + (1 << 15)) >> 16, -32767, 32767));
    };
    const std::int64_t luma = full_range ? 1 << 16 : (std::int64_t{1} << 16) * 255 / 219;
    return RgbFactors{
        static_cast<std::int16_t>(full_range ? 0 : 16 * 16),
        rounded(luma),
        rounded(chroma(coefficients[0])),
        rounded(chroma(-std::int64_t{coefficients[2]})),
        rounded(chroma(-std::int64_t{coefficients[3]})),
        rounded(chroma(coefficients[1])),
    };
}

void RgbPlaneConverter::convert(const YuvPicture& picture, const RgbFactors& factors,
                                int first_line, int line_count, std::uint8_t* const destination[3],
                                std::ptrdiff_t stride, int pixel_step) {
    const bool half_width = picture.subsampling != ChromaSubsampling::none;
    const bool half_height = picture.subsampling == ChromaSubsampling::both;
    const int chroma_width = half_width ? (picture.width + 1) / 2 : picture.width;
    const int chroma_height = half_height ? (picture.height + 1) / 2 : picture.height;
    const std::size_t line = static_cast<std::size_t>(chroma_width) + 2 * kChromaPad + kVectorSlack;
    chroma_.resize(2 * line);
    std::int16_t* const u4 = chroma_.data() + kChromaPad;
    std::int16_t* const v4 = u4 + line;
    for (int k = 0; k < line_count; ++k) {
        const int y = first_line + k;
        int near = y;
        int far = y;
        if (half_height) {
            near = y / 2;
            far = std::clamp((y & 1) ? near + 1 : near - 1, 0, chroma_height - 1);
        }
        const auto at = [&](int plane, int row) {
            return picture.planes[plane] +
                   static_cast<std::ptrdiff_t>(row) * picture.strides[plane];
        };
        blend_chroma_line(at(1, near), at(1, far), chroma_width, u4);
        blend_chroma_line(at(2, near), at(2, far), chroma_width, v4);
        const std::uint8_t* luma = at(0, y);
        std::uint8_t* const r = destination[0] + k * stride;
        std::uint8_t* const g = destination[1] + k * stride;
        std::uint8_t* const b = destination[2] + k * stride;
        int x = 0;
#ifdef LORVEX_HAVE_AVX2_PATH
        if (has_avx2()) {
            x = convert_pixels_avx2(luma, u4, v4, half_width, factors, x, picture.width, r, g, b,
                                    pixel_step == 3);
        }
#endif
        convert_pixels(luma, u4, v4, half_width, factors, x, picture.width, r, g, b, pixel_step);
    }
}

}  // namespace lorvex
