#include "lorvex/container/picture_format.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace lorvex::container {
namespace {

const AVStream& first_video_stream(const AVFormatContext& context, const std::string& path) {
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        if (context.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            return *context.streams[i];
        }
    }
    throw std::invalid_argument(path + " has no video stream");
}

const std::int32_t* display_matrix(const AVStream& stream) {
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
    const AVPacketSideData* side_data =
        av_packet_side_data_get(stream.codecpar->coded_side_data,
                                stream.codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (side_data == nullptr || side_data->size < 9 * sizeof(std::int32_t)) return nullptr;
    return reinterpret_cast<const std::int32_t*>(side_data->data);
#else
    std::size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data == nullptr || size < 9 * sizeof(std::int32_t)) return nullptr;
    return reinterpret_cast<const std::int32_t*>(data);
#endif
}

// FFmpeg gives the matrix's angle counterclockwise; players name the turn clockwise, as the
// "rotate" tag of older files did. A matrix that is no rotation (a shear, all zeros) counts as
// none.
int clockwise_rotation(const AVStream& stream) {
    const std::int32_t* matrix = display_matrix(stream);
    if (matrix == nullptr) return 0;
    const double counterclockwise = av_display_rotation_get(matrix);
    if (!std::isfinite(counterclockwise)) return 0;
    const long quarter_turns = std::lround(-counterclockwise / 90.0);
    return static_cast<int>(((quarter_turns % 4) + 4) % 4) * 90;
}

}  // namespace

PictureFormat read_picture_format(const MediaFile& file) {
    const AVStream& stream = first_video_stream(*file.context(), file.path());
    PictureFormat format;
    format.rotation = clockwise_rotation(stream);
    const auto pixel_format = static_cast<AVPixelFormat>(stream.codecpar->format);
    if (const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(pixel_format)) {
        format.pixel_format = descriptor->name;
        format.bit_depth = descriptor->comp[0].depth;
    }
    return format;
}

}  // namespace lorvex::container
