#include "lorvex/worker/row_scaler.hpp"
#include "lorvex/worker/row_writer.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace lorvex {
namespace {

UniqueFrame make_picture(AVPixelFormat format, int width, int height, std::uint32_t seed) {
    UniqueFrame frame = make_frame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
    std::mt19937 random(seed);
    for (int plane = 0; plane < 4 && frame->buf[plane]; ++plane) {
        for (std::size_t i = 0; i < frame->buf[plane]->size; ++i) {
            frame->buf[plane]->data[i] = static_cast<std::uint8_t>(random());
        }
    }
    if (format == AV_PIX_FMT_YUV420P10LE) {
        // Keep the 10-bit samples in range, or libswscale's saturation is all that is tested.
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : (height + 1) / 2;
            for (int y = 0; y < rows; ++y) {
                auto* line = reinterpret_cast<std::uint16_t*>(frame->data[plane] +
                                                              y * frame->linesize[plane]);
                for (int x = 0; x < frame->linesize[plane] / 2; ++x) line[x] &= 0x3ff;
            }
        }
    }
    return frame;
}

// Samples of an 8-bit limited-range picture kept to their legal levels (Y' 16-235, Cb and Cr
// 16-240): beyond them libswscale's sums for blue can overflow, which the own-size converter
// does not copy (see OwnSizeSaturatesWhereLibswscaleWraps).
void keep_to_legal_levels(AVFrame& frame) {
    const AVPixFmtDescriptor* format =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    for (int plane = 0; plane < 3; ++plane) {
        const int rows =
            plane == 0 ? frame.height : AV_CEIL_RSHIFT(frame.height, format->log2_chroma_h);
        const std::uint8_t top = plane == 0 ? 235 : 240;
        for (int y = 0; y < rows; ++y) {
            std::uint8_t* line = frame.data[plane] + y * frame.linesize[plane];
            for (int x = 0; x < frame.linesize[plane]; ++x)
                line[x] = std::clamp<std::uint8_t>(line[x], 16, top);
        }
    }
}

void fill_plane(AVFrame& frame, int plane, int rows, std::uint8_t value) {
    for (int y = 0; y < rows; ++y) {
        std::memset(frame.data[plane] + y * frame.linesize[plane], value,
                    static_cast<std::size_t>(frame.linesize[plane]));
    }
}

// A solid picture of one Y'CbCr colour, 8-bit 4:2:0.
UniqueFrame solid_picture(std::uint8_t y, std::uint8_t cb, std::uint8_t cr, AVColorRange range,
                          AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED) {
    UniqueFrame frame = make_picture(AV_PIX_FMT_YUV420P, 16, 8, 1);
    fill_plane(*frame, 0, 8, y);
    fill_plane(*frame, 1, 4, cb);
    fill_plane(*frame, 2, 4, cr);
    frame->color_range = range;
    frame->colorspace = colorspace;
    return frame;
}

constexpr std::size_t kCanary = 64;
constexpr std::uint8_t kCanaryByte = 0xA5;

// The row `scaler` writes for `picture`, written between canaries that must stay untouched.
std::vector<std::uint8_t> scaled_row(RowScaler& scaler, const AVFrame& picture,
                                     const std::string& where) {
    const std::size_t row =
        3 * static_cast<std::size_t>(scaler.width()) * static_cast<std::size_t>(scaler.height());
    std::vector<std::uint8_t> memory(row + 2 * kCanary, kCanaryByte);
    scaler.scale(picture, memory.data() + kCanary);
    for (std::size_t i = 0; i < kCanary; ++i) {
        EXPECT_EQ(memory[i], kCanaryByte) << "before the row: " << where;
        EXPECT_EQ(memory[kCanary + row + i], kCanaryByte) << "after the row: " << where;
    }
    return {memory.begin() + kCanary, memory.end() - kCanary};
}

const char* const kInterpolations[] = {"BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"};

// The same conversion by libswscale into generously padded planes, laid out as a row: what the
// row must hold.
std::vector<std::uint8_t> padded_reference(const AVFrame& picture, int width, int height, int flags,
                                           int colorspace = AVCOL_SPC_BT470BG) {
    const int stride = width + 256;
    std::vector<std::uint8_t> planes(3 * static_cast<std::size_t>(stride) * (height + 1));
    std::uint8_t* const base = planes.data();
    const std::size_t plane = static_cast<std::size_t>(stride) * (height + 1);
    std::uint8_t* const destination[4] = {base + plane, base + 2 * plane, base, nullptr};
    const int strides[4] = {stride, stride, stride, 0};
    UniqueSwsContext context(
        sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                       width, height, AV_PIX_FMT_GBRP, flags, nullptr, nullptr, nullptr));
    const int* coefficients = sws_getCoefficients(colorspace);
    const bool full = picture.format == AV_PIX_FMT_YUVJ420P ||
                      picture.format == AV_PIX_FMT_YUVJ422P ||
                      picture.color_range == AVCOL_RANGE_JPEG;
    sws_setColorspaceDetails(context.get(), coefficients, full, coefficients, 1, 0, 1 << 16,
                             1 << 16);
    sws_scale(context.get(), picture.data, picture.linesize, 0, picture.height, destination,
              strides);
    std::vector<std::uint8_t> row;
    for (int p = 0; p < 3; ++p) {
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* line = base + p * plane + static_cast<std::size_t>(y) * stride;
            row.insert(row.end(), line, line + width);
        }
    }
    return row;
}

// Rows sit back to back in the block: a conversion that strays past its row, or past one of
// its lines into a plane it has already written, corrupts a row another worker owns.
TEST(RowScaler, WritesExactlyItsRowAndNothingElse) {
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV444P,
                                     AV_PIX_FMT_YUVJ420P};
    const int widths[] = {1, 2, 7, 32, 33, 161};
    const int source_sizes[][2] = {{1, 1}, {7, 5}, {161, 121}, {640, 360}};
    std::uint32_t seed = 0;
    for (const char* interpolation : kInterpolations) {
        const int flags = interpolation_flags(interpolation);
        for (const AVPixelFormat format : formats) {
            for (const auto& source : source_sizes) {
                const UniqueFrame picture = make_picture(format, source[0], source[1], ++seed);
                if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV444P) {
                    keep_to_legal_levels(*picture);
                }
                for (const int width : widths) {
                    for (const int height : {1, 3, 5, 121}) {
                        const std::string where =
                            std::string(interpolation) + " " + av_get_pix_fmt_name(format) + " " +
                            std::to_string(source[0]) + "x" + std::to_string(source[1]) + " -> " +
                            std::to_string(width) + "x" + std::to_string(height);
                        RowScaler scaler(width, height, flags);
                        ASSERT_EQ(scaled_row(scaler, *picture, where),
                                  padded_reference(*picture, width, height, flags))
                            << where;
                    }
                }
            }
        }
    }
}

// Pictures of the output's own size take the converter of rgb_planes.cpp: every line length
// around its 16-pixel groups, each subsampling, matrix and range, level for level what
// libswscale gives, and not a byte outside the row.
TEST(RowScaler, OwnSizeGivesLibswscalesLevels) {
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
                                     AV_PIX_FMT_YUVJ422P};
    const AVColorSpace matrices[] = {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL};
    const int widths[] = {1, 2, 15, 16, 17, 31, 32, 33, 47, 161, 1282};
    std::uint32_t seed = 1000;
    for (const AVPixelFormat format : formats) {
        for (const int width : widths) {
            for (const int height : {1, 2, 5, 18}) {
                const AVColorSpace matrix = matrices[seed % 3];
                const bool full_range = seed % 2 == 0;
                const UniqueFrame picture = make_picture(format, width, height, ++seed);
                picture->colorspace = matrix;
                picture->color_range = full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
                if (!full_range && format != AV_PIX_FMT_YUVJ422P) keep_to_legal_levels(*picture);
                const std::string where = std::string(av_get_pix_fmt_name(format)) + " " +
                                          std::to_string(width) + "x" + std::to_string(height) +
                                          " matrix " + std::to_string(matrix) +
                                          (full_range ? " full" : " limited");
                const int flags = interpolation_flags("BILINEAR");
                RowScaler scaler(width, height, flags);
                const std::vector<std::uint8_t> written = scaled_row(scaler, *picture, where);
                const int colorspace = matrix == AVCOL_SPC_UNSPECIFIED ? AVCOL_SPC_BT470BG : matrix;
                ASSERT_EQ(written, padded_reference(*picture, width, height, flags, colorspace))
                    << where;
            }
        }
    }
}

std::vector<std::uint8_t> scale_solid(const AVFrame& picture, int interpolation) {
    RowScaler scaler(5, 3, interpolation);
    std::vector<std::uint8_t> row(3 * 5 * 3);
    scaler.scale(picture, row.data());
    return row;
}

// Beyond the legal levels (Y' 255 and Cb 255 in limited range), libswscale's 32-bit sum for
// blue overflows and its planar output shows black; the own-size converter saturates.
TEST(RowScaler, OwnSizeSaturatesWhereLibswscaleWraps) {
    const UniqueFrame picture = solid_picture(255, 255, 128, AVCOL_RANGE_MPEG);
    RowScaler own_size(16, 8, interpolation_flags("BILINEAR"));
    std::vector<std::uint8_t> row(3 * 16 * 8);
    own_size.scale(*picture, row.data());
    EXPECT_EQ(row[0], 255);    // red
    EXPECT_EQ(row[256], 255);  // blue
    const std::vector<std::uint8_t> swscale = padded_reference(*picture, 16, 8, SWS_BILINEAR);
    EXPECT_EQ(swscale[256], 0) << "libswscale no longer wraps: the converter may copy it again";
}

// The first sample of each plane, in block order.
std::array<int, 3> rgb(const std::vector<std::uint8_t>& row) {
    return {row[0], row[15], row[30]};
}

TEST(RowScaler, PlanesAreRedGreenBlueInFullRange) {
    const int flags = interpolation_flags("BILINEAR");
    // BT.601 limited range: Y'=81, Cb=90, Cr=240 is red, 16/128/128 black, 235/128/128 white.
    const auto red = rgb(scale_solid(*solid_picture(81, 90, 240, AVCOL_RANGE_MPEG), flags));
    EXPECT_GE(red[0], 250);
    EXPECT_LE(red[1], 5);
    EXPECT_LE(red[2], 5);
    EXPECT_EQ(rgb(scale_solid(*solid_picture(16, 128, 128, AVCOL_RANGE_MPEG), flags)),
              (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(rgb(scale_solid(*solid_picture(235, 128, 128, AVCOL_RANGE_UNSPECIFIED), flags)),
              (std::array<int, 3>{255, 255, 255}));
    // Blue: Y'=41, Cb=240, Cr=110.
    const auto blue = rgb(scale_solid(*solid_picture(41, 240, 110, AVCOL_RANGE_MPEG), flags));
    EXPECT_LE(blue[0], 5);
    EXPECT_GE(blue[2], 250);
}

TEST(RowScaler, FollowsTheFramesRangeAndMatrix) {
    const int flags = interpolation_flags("BILINEAR");
    // Full range keeps 235 at 235 instead of stretching it to white.
    const auto full = rgb(scale_solid(*solid_picture(235, 128, 128, AVCOL_RANGE_JPEG), flags));
    EXPECT_NEAR(full[1], 235, 1);
    // One scaler, tags changing between pictures: each picture gets its own conversion.
    RowScaler scaler(5, 3, flags);
    std::vector<std::uint8_t> row(45);
    scaler.scale(*solid_picture(81, 90, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG), row.data());
    const auto as_601 = rgb(row);
    scaler.scale(*solid_picture(81, 90, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709), row.data());
    const auto as_709 = rgb(row);
    EXPECT_NE(as_601, as_709);
    scaler.scale(*solid_picture(81, 90, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG), row.data());
    EXPECT_EQ(rgb(row), as_601);
    // The same picture converts the same every time, the first included.
    const UniqueFrame full_range = solid_picture(235, 128, 128, AVCOL_RANGE_JPEG);
    for (int i = 0; i < 3; ++i) {
        scaler.scale(*full_range, row.data());
        EXPECT_EQ(rgb(row), full) << "conversion " << i;
    }
}

// Sample (channel, y, x) of a row of `format` whose turned picture is width x height.
std::uint32_t sample_at(const std::vector<std::uint8_t>& row, const FrameFormat& format, int width,
                        int height, int channel, int y, int x) {
    const std::size_t index = format.layout == FrameLayout::planes
                                  ? (static_cast<std::size_t>(channel) * height + y) * width + x
                                  : (static_cast<std::size_t>(y) * width + x) * 3 + channel;
    if (format.sample_bytes == 1) return row[index];
    std::uint16_t value = 0;
    std::memcpy(&value, row.data() + 2 * index, 2);
    return value;
}

// Every layout, depth and turn: exactly its row, each sample the 8-bit planes' (turned
// clockwise, widened by 257) or, for a deeper picture, within a level of them in its top
// 8 bits.
TEST(RowWriter, WritesEveryFormatIntoExactlyItsRow) {
    const int flags = interpolation_flags("BILINEAR");
    std::uint32_t seed = 5000;
    for (const AVPixelFormat source : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE}) {
        for (const auto& size : {std::array<int, 2>{1, 1}, {7, 3}, {17, 9}, {40, 24}}) {
            const UniqueFrame picture = make_picture(source, 40, 24, ++seed);
            if (source == AV_PIX_FMT_YUV420P) keep_to_legal_levels(*picture);
            for (const FrameLayout layout : {FrameLayout::planes, FrameLayout::pixels}) {
                for (const int bytes : {1, 2}) {
                    for (int turns = 0; turns < 4; ++turns) {
                        const FrameFormat format{layout, bytes, turns};
                        const int width = size[turns % 2];
                        const int height = size[1 - turns % 2];
                        const std::string where =
                            std::string(av_get_pix_fmt_name(source)) + " " + std::to_string(width) +
                            "x" + std::to_string(height) + " layout " +
                            std::to_string(static_cast<int>(layout)) + " bytes " +
                            std::to_string(bytes) + " turns " + std::to_string(turns);
                        RowWriter writer(width, height, flags, format);
                        std::vector<std::uint8_t> memory(writer.row_bytes() + 2 * kCanary,
                                                         kCanaryByte);
                        writer.write(*picture, memory.data() + kCanary);
                        for (std::size_t i = 0; i < kCanary; ++i) {
                            ASSERT_EQ(memory[i], kCanaryByte) << "before the row: " << where;
                            ASSERT_EQ(memory[kCanary + writer.row_bytes() + i], kCanaryByte)
                                << "after the row: " << where;
                        }
                        const std::vector<std::uint8_t> row(memory.begin() + kCanary,
                                                            memory.end() - kCanary);
                        RowScaler unturned(size[0], size[1], flags);
                        std::vector<std::uint8_t> planes(3 * size[0] * size[1]);
                        unturned.scale(*picture, planes.data());
                        const bool deep = bytes == 2 && source != AV_PIX_FMT_YUV420P;
                        for (int c = 0; c < 3; ++c) {
                            for (int y = 0; y < height; ++y) {
                                for (int x = 0; x < width; ++x) {
                                    // Turned clockwise: (y, x) shows the unturned (sy, sx).
                                    int sy = y;
                                    int sx = x;
                                    for (int t = 0; t < turns; ++t) {
                                        const int lines =
                                            (turns - t - 1) % 2 == 0 ? size[1] : size[0];
                                        std::tie(sy, sx) = std::pair(lines - 1 - sx, sy);
                                    }
                                    const std::uint32_t expected =
                                        planes[(static_cast<std::size_t>(c) * size[1] + sy) *
                                                   size[0] +
                                               sx];
                                    const std::uint32_t got =
                                        sample_at(row, format, width, height, c, y, x);
                                    if (deep) {
                                        ASSERT_LE(std::abs(static_cast<int>(got >> 8) -
                                                           static_cast<int>(expected)),
                                                  1)
                                            << where;
                                    } else {
                                        ASSERT_EQ(got, bytes == 1 ? expected : expected * 257)
                                            << where;
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(RowScaler, RejectsUnknownInterpolationsAndSizes) {
    EXPECT_THROW(interpolation_flags("bilinear"), std::invalid_argument);
    EXPECT_THROW(interpolation_flags(""), std::invalid_argument);
    EXPECT_THROW(RowScaler(0, 4, SWS_BILINEAR), std::invalid_argument);
}

}  // namespace
}  // namespace lorvex
