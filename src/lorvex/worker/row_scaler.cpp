#include "lorvex/worker/row_scaler.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace lorvex {
namespace {

// The yuvj formats are their yuv twins in full range; libswscale prefers being told the range.
AVPixelFormat without_jpeg_range(AVPixelFormat format, bool& full_range) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            full_range = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            full_range = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            full_range = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            full_range = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            full_range = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

// The matrix ffmpeg's scale filter picks by default: the frame's own, BT.601 otherwise.
int usable_colorspace(AVColorSpace colorspace) {
    const int value = colorspace;
    if (value < 1 || value > 10 || value == AVCOL_SPC_YCGCO) return AVCOL_SPC_BT470BG;
    return value;
}

}  // namespace

RowScaler::RowScaler(int width, int height, int flags)
    : width_(width), height_(height), flags_(flags) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("output size must be positive, got " + std::to_string(width) +
                                    "x" + std::to_string(height));
    }
}

void RowScaler::configure(const AVFrame& frame, AVPixelFormat output) {
    bool full_range = frame.color_range == AVCOL_RANGE_JPEG;
    const auto source_format =
        without_jpeg_range(static_cast<AVPixelFormat>(frame.format), full_range);
    if (frame.width <= 0 || frame.height <= 0 || source_format == AV_PIX_FMT_NONE ||
        !sws_isSupportedInput(source_format)) {
        const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame.format));
        throw std::runtime_error(std::string("cannot convert pictures of pixel format ") +
                                 (name ? name : "unknown") + " and size " +
                                 std::to_string(frame.width) + "x" + std::to_string(frame.height));
    }
    // Not sws_getCachedContext: libswscale adjusts the flags it keeps (planar RGB output
    // forces full chroma interpolation), so the cache would rebuild the context for every
    // picture and silently drop the colour details set on it.
    const bool remade = !context_ || frame.width != source_width_ ||
                        frame.height != source_height_ || source_format != source_format_ ||
                        output != output_format_;
    if (remade) {
        context_.reset(sws_getContext(frame.width, frame.height, source_format, width_, height_,
                                      output, flags_, nullptr, nullptr, nullptr));
        if (!context_) throw std::runtime_error("could not create a picture converter");
        source_width_ = frame.width;
        source_height_ = frame.height;
        source_format_ = source_format;
        output_format_ = output;
    }
    SwsContext* context = context_.get();
    const int colorspace = usable_colorspace(frame.colorspace);
    if (remade || colorspace != colorspace_ || int{full_range} != source_full_range_) {
        const int* coefficients = sws_getCoefficients(colorspace);
        // RGB sources have no matrix; libswscale refuses the call for them, which is harmless.
        sws_setColorspaceDetails(context, coefficients, full_range ? 1 : 0, coefficients, 1, 0,
                                 1 << 16, 1 << 16);
        colorspace_ = colorspace;
        source_full_range_ = full_range ? 1 : 0;
    }
}

std::optional<YuvPicture> RowScaler::own_size_picture(const AVFrame& frame) const {
    if (frame.width != width_ || frame.height != height_) return std::nullopt;
    bool full_range = false;
    ChromaSubsampling subsampling;
    switch (without_jpeg_range(static_cast<AVPixelFormat>(frame.format), full_range)) {
        case AV_PIX_FMT_YUV420P:
            subsampling = ChromaSubsampling::both;
            break;
        case AV_PIX_FMT_YUV422P:
            subsampling = ChromaSubsampling::horizontal;
            break;
        case AV_PIX_FMT_YUV444P:
            subsampling = ChromaSubsampling::none;
            break;
        default:
            return std::nullopt;
    }
    // libswscale scales chroma by its own size over the picture's, which is exactly one half
    // only for even sizes; odd ones it samples elsewhere, and so keeps them.
    const bool half_width = subsampling != ChromaSubsampling::none;
    const bool half_height = subsampling == ChromaSubsampling::both;
    if ((half_width && frame.width % 2 != 0) || (half_height && frame.height % 2 != 0)) {
        return std::nullopt;
    }
    return YuvPicture{{frame.data[0], frame.data[1], frame.data[2]},
                      {frame.linesize[0], frame.linesize[1], frame.linesize[2]},
                      frame.width,
                      frame.height,
                      subsampling};
}

const RgbFactors& RowScaler::factors_for(const AVFrame& frame) {
    bool full_range = frame.color_range == AVCOL_RANGE_JPEG;
    without_jpeg_range(static_cast<AVPixelFormat>(frame.format), full_range);
    const int colorspace = usable_colorspace(frame.colorspace);
    if (colorspace != factors_colorspace_ || int{full_range} != factors_full_range_) {
        factors_ = rgb_factors(sws_getCoefficients(colorspace), full_range);
        factors_colorspace_ = colorspace;
        factors_full_range_ = full_range ? 1 : 0;
    }
    return factors_;
}

void RowScaler::scale(const AVFrame& frame, std::uint8_t* row) {
    const std::size_t plane = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    if (const std::optional<YuvPicture> picture = own_size_picture(frame)) {
        std::uint8_t* const planes[3] = {row, row + plane, row + 2 * plane};
        converter_.convert(*picture, factors_for(frame), 0, height_, planes, width_);
        return;
    }
    configure(frame, AV_PIX_FMT_GBRP);
    write_planes(frame, row, static_cast<std::size_t>(width_));
}

void RowScaler::scale_to_pixels(const AVFrame& frame, std::uint8_t* row) {
    if (const std::optional<YuvPicture> picture = own_size_picture(frame)) {
        std::uint8_t* const triples[3] = {row, row + 1, row + 2};
        converter_.convert(*picture, factors_for(frame), 0, height_, triples, 3 * width_, 3);
        return;
    }
    // libswscale's packed RGB output rounds otherwise: its planes, interleaved.
    const std::size_t plane = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    planes_.resize(3 * plane);
    scale(frame, planes_.data());
    const std::uint8_t* r = planes_.data();
    const std::uint8_t* g = r + plane;
    const std::uint8_t* b = g + plane;
    for (std::size_t i = 0; i < plane; ++i) {
        row[3 * i] = r[i];
        row[3 * i + 1] = g[i];
        row[3 * i + 2] = b[i];
    }
}

int RowScaler::sample_depth(const AVFrame& frame) {
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    return descriptor != nullptr ? descriptor->comp[0].depth : 8;
}

int RowScaler::scale_deep(const AVFrame& frame, std::uint16_t* planes) {
    struct Output {
        int depth;
        AVPixelFormat format;
    };
    // Native byte order: the samples are read as this machine's uint16.
    static constexpr Output outputs[] = {{9, AV_PIX_FMT_GBRP9},
                                         {10, AV_PIX_FMT_GBRP10},
                                         {12, AV_PIX_FMT_GBRP12},
                                         {14, AV_PIX_FMT_GBRP14},
                                         {16, AV_PIX_FMT_GBRP16}};
    const int depth = sample_depth(frame);
    const Output* output = std::find_if(std::begin(outputs), std::end(outputs) - 1,
                                        [&](const Output& kind) { return kind.depth >= depth; });
    configure(frame, output->format);
    write_planes(frame, reinterpret_cast<std::uint8_t*>(planes),
                 2 * static_cast<std::size_t>(width_));
    return output->depth;
}

void RowScaler::write_planes(const AVFrame& frame, std::uint8_t* out, std::size_t line_bytes) {
    const std::size_t plane = line_bytes * static_cast<std::size_t>(height_);
    // libswscale's SIMD paths write each output line in blocks, up to 7 bytes past its end
    // (measured; allow for wider vectors). It writes the last two lines with exact C code, so
    // the excess of earlier lines lands in lines written after them, inside the plane, as long
    // as two lines are wider than the excess. Narrower pictures go through padded scratch.
    constexpr std::size_t kLineExcess = 64;
    if (2 * line_bytes > kLineExcess) {
        // Planar RGB keeps its planes in the order G, B, R; the block wants R, G, B.
        std::uint8_t* const destination[4] = {out + plane, out + 2 * plane, out, nullptr};
        const int stride = static_cast<int>(line_bytes);
        const int strides[4] = {stride, stride, stride, 0};
        run(frame, destination, strides);
        return;
    }
    const std::size_t stride = line_bytes + kLineExcess;
    const std::size_t scratch_plane = stride * static_cast<std::size_t>(height_);
    scratch_.resize(3 * scratch_plane);
    std::uint8_t* const scratch = scratch_.data();
    // Scratch planes in block order too, so that the copy below is one loop.
    std::uint8_t* const destination[4] = {scratch + scratch_plane, scratch + 2 * scratch_plane,
                                          scratch, nullptr};
    const int strides[4] = {static_cast<int>(stride), static_cast<int>(stride),
                            static_cast<int>(stride), 0};
    run(frame, destination, strides);
    for (int line = 0; line < 3 * height_; ++line) {
        std::memcpy(out + static_cast<std::size_t>(line) * line_bytes,
                    scratch + static_cast<std::size_t>(line) * stride, line_bytes);
    }
}

void RowScaler::run(const AVFrame& frame, std::uint8_t* const destination[4],
                    const int strides[4]) {
    const int written = sws_scale(context_.get(), frame.data, frame.linesize, 0, frame.height,
                                  destination, strides);
    if (written != height_) {
        throw std::runtime_error("picture conversion failed (" + std::to_string(written) + " of " +
                                 std::to_string(height_) + " lines written)");
    }
}

}  // namespace lorvex
