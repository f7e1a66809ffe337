// Whole messages over a connected stream socket: sends that never raise SIGPIPE, and both
// directions carried on across interruptions and short transfers.
#pragma once

#include <cstddef>

namespace lorvex {

// False when the peer is gone or the socket fails.
bool send_all(int socket, const char* data, std::size_t size);

// Blocks until `size` bytes have arrived; false when the peer hung up first or the socket fails.
bool receive_all(int socket, char* data, std::size_t size);

}  // namespace lorvex
