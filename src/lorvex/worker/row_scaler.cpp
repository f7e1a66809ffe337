#include "lorvex/worker/row_scaler.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstring>
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

void RowScaler::configure(const AVFrame& frame) {
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
                        frame.height != source_height_ || source_format != source_format_;
    if (remade) {
        context_.reset(sws_getContext(frame.width, frame.height, source_format, width_, height_,
                                      AV_PIX_FMT_GBRP, flags_, nullptr, nullptr, nullptr));
        if (!context_) throw std::runtime_error("could not create a picture converter");
        source_width_ = frame.width;
        source_height_ = frame.height;
        source_format_ = source_format;
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

void RowScaler::scale(const AVFrame& frame, std::uint8_t* row) {
    const std::size_t plane = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    if (const std::optional<YuvPicture> picture = own_size_picture(frame)) {
        bool full_range = frame.color_range == AVCOL_RANGE_JPEG;
        without_jpeg_range(static_cast<AVPixelFormat>(frame.format), full_range);
        const int colorspace = usable_colorspace(frame.colorspace);
        if (colorspace != factors_colorspace_ || int{full_range} != factors_full_range_) {
            factors_ = rgb_factors(sws_getCoefficients(colorspace), full_range);
            factors_colorspace_ = colorspace;
            factors_full_range_ = full_range ? 1 : 0;
        }
        std::uint8_t* const planes[3] = {row, row + plane, row + 2 * plane};
        converter_.convert(*picture, factors_, 0, height_, planes, width_);
        return;
    }
    configure(frame);
    // libswscale's SIMD paths write each output line in blocks, up to 7 bytes past its end
    // (measured; allow for wider vectors). It writes the last two lines with exact C code, so
    // the excess of earlier lines lands in lines written after them, inside the plane, as long
    // as two lines are wider than the excess. Narrower pictures go through padded scratch.
    constexpr int kLineExcess = 64;
    if (2 * width_ > kLineExcess) {
        // AV_PIX_FMT_GBRP keeps its planes in the order G, B, R; the block wants R, G, B.
        std::uint8_t* const destination[4] = {row + plane, row + 2 * plane, row, nullptr};
        const int strides[4] = {width_, width_, width_, 0};
        run(frame, destination, strides);
        return;
    }
    const int stride = width_ + kLineExcess;
    const std::size_t scratch_plane = static_cast<std::size_t>(stride) * height_;
    scratch_.resize(3 * scratch_plane);
    std::uint8_t* const scratch = scratch_.data();
    // Scratch planes in block order too, so that the copy below is one loop.
    std::uint8_t* const destination[4] = {scratch + scratch_plane, scratch + 2 * scratch_plane,
                                          scratch, nullptr};
    const int strides[4] = {stride, stride, stride, 0};
    run(frame, destination, strides);
    for (int line = 0; line < 3 * height_; ++line) {
        std::memcpy(row + static_cast<std::size_t>(line) * width_,
                    scratch + static_cast<std::size_t>(line) * stride, width_);
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
