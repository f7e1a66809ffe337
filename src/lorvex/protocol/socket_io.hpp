// Whole messages over a connected stream socket: sends that never raise SIGPIPE, and both
// directions carried on across interruptions and short transfers; descriptors passed along
// (SCM_RIGHTS) with the first part of a message.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "lorvex/protocol/descriptor.hpp"

namespace lorvex {

// False when the peer is gone or the socket fails.
bool send_all(int socket, const char* data, std::size_t size);

// Blocks until `size` bytes have arrived; false when the peer hung up first or the socket fails.
bool receive_all(int socket, char* data, std::size_t size);

// Sends `size` bytes, `descriptors` travelling with the first part of them. False when the
// peer is gone, the socket fails or the descriptors are refused.
bool send_with_descriptors(int socket, const char* data, std::size_t size,
                           std::span<const int> descriptors);

// What one receive brought: the first bytes of a message, and the descriptors sent with it.
struct ReceivedStart {
    std::size_t size = 0;                 // bytes received, at least 1
    std::vector<Descriptor> descriptors;  // now this process's (close-on-exec)
    bool truncated = false;               // more descriptors came than there was room for
};

// Receives up to `size` bytes into `data`, and up to `most_descriptors` descriptors with
// them; the rest of the message is for receive_all. Nothing when the peer hung up or the
// socket fails.
std::optional<ReceivedStart> receive_with_descriptors(int socket, char* data, std::size_t size,
                                                      std::size_t most_descriptors);

}  // namespace lorvex
