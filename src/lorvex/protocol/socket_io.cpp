#include "lorvex/protocol/socket_io.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

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

bool send_with_descriptors(int socket, const char* data, std::size_t size,
                           std::span<const int> descriptors) {
    iovec part{const_cast<char*>(data), size};
    const std::size_t rights = sizeof(int) * descriptors.size();
    std::vector<char> control(CMSG_SPACE(rights));
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* entry = CMSG_FIRSTHDR(&message);
    entry->cmsg_level = SOL_SOCKET;
    entry->cmsg_type = SCM_RIGHTS;
    entry->cmsg_len = CMSG_LEN(rights);
    std::memcpy(CMSG_DATA(entry), descriptors.data(), rights);
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent <= 0) return false;
    // The descriptors went with the first part; the rest may follow on its own.
    return send_all(socket, data + sent, size - static_cast<std::size_t>(sent));
}

std::optional<ReceivedStart> receive_with_descriptors(int socket, char* data, std::size_t size,
                                                      std::size_t most_descriptors) {
    iovec part{data, size};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * most_descriptors));
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::nullopt;
    ReceivedStart received;
    for (cmsghdr* entry = CMSG_FIRSTHDR(&message); entry != nullptr;
         entry = CMSG_NXTHDR(&message, entry)) {
        if (entry->cmsg_level != SOL_SOCKET || entry->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (entry->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int descriptor = -1;
            std::memcpy(&descriptor, CMSG_DATA(entry) + i * sizeof(int), sizeof descriptor);
            received.descriptors.emplace_back(descriptor);
        }
    }
    if (got == 0) return std::nullopt;  // hung up: whatever came with it is closed
    received.size = static_cast<std::size_t>(got);
    received.truncated = (message.msg_flags & MSG_CTRUNC) != 0;
    return received;
}

}  // namespace lorvex
