#include "lorvex/media/ffmpeg.hpp"

#include <new>

namespace lorvex {

std::string av_error_text(int errnum) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(errnum, buffer, sizeof buffer) < 0) {
        return "unknown FFmpeg error " + std::to_string(errnum);
    }
    return buffer;
}

AvError::AvError(int errnum, const std::string& action, const std::string& path)
    : std::runtime_error("Could not " + action + " " + path + ": " + av_error_text(errnum)),
      errnum_(errnum),
      path_(path),
      reason_(av_error_text(errnum)) {}

int check_av(int result, const std::string& action, const std::string& path) {
    if (result < 0) throw AvError(result, action, path);
    return result;
}

void silence_ffmpeg_log() noexcept {
    av_log_set_level(AV_LOG_QUIET);
}

UniquePacket make_packet() {
    UniquePacket packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

UniqueFrame make_frame() {
    UniqueFrame frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

}  // namespace lorvex
