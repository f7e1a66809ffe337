// How the pictures of a file's first video stream are stored and meant to be shown: what a
// caller needs to describe a video beyond its size, rate and timestamps. Python-free.
#pragma once

#include <optional>
#include <string>

#include "lorvex/container/media_file.hpp"

namespace lorvex::container {

struct PictureFormat {
    std::optional<std::string> pixel_format;  // FFmpeg's name ("yuv420p"), when known
    std::optional<int> bit_depth;             // bits per sample of the first component
    int rotation = 0;  // degrees clockwise a player turns the picture: 0, 90, 180 or 270
};

// The format of the first video stream of `file` (the stream lorvex.container lists first
// under streams.video). Throws std::invalid_argument when the file has no video stream.
PictureFormat read_picture_format(const MediaFile& file);

}  // namespace lorvex::container
