#include "lorvex/protocol/socket_io.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace lorvex {

bool send_all(int socket, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(socket, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool receive_all(int socket, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = recv(socket, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace lorvex
