#include "lorvex/protocol/video_path.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace lorvex {

void require_rereadable(const std::string& path) {
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) return;  // the opening names what is wrong
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
        throw std::runtime_error("Could not open " + path +
                                 ": it is a pipe or a socket, whose bytes can be read only "
                                 "once, and lorvex reads a video more than once");
    }
}

}  // namespace lorvex
