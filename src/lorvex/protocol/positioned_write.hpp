// Bytes into a file at a place, whole: how rows reach the memory that holds them. The pages a
// write fills come into being without a fault each and without being zeroed first, and a full
// file system is an error, never a signal.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lorvex {

// Throws std::runtime_error "Could not write <what>: <reason>".
void write_at(int descriptor, off_t offset, const std::uint8_t* bytes, std::size_t size,
              const std::string& what);

}  // namespace lorvex
