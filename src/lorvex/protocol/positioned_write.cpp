#include "lorvex/protocol/positioned_write.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace lorvex {

void write_at(int descriptor, off_t offset, const std::uint8_t* bytes, std::size_t size,
              const std::string& what) {
    while (size > 0) {
        const ssize_t written = ::pwrite(descriptor, bytes, size, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("Could not write " + what + ": " + std::strerror(errno));
        }
        if (written == 0)
            throw std::runtime_error("Could not write " + what + ": nothing was written");
        bytes += written;
        offset += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace lorvex
