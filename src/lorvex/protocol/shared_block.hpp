// A named POSIX shared-memory block that a loader created, mapped read-write by a worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace lorvex {

// Move-only: the mapping and the descriptor are released when the last owner goes. The block
// itself is never created, resized or unlinked here; it belongs to the loader that made it.
class SharedBlock {
  public:
    // shm_open (a "/" is prepended to a name without one), check that the block is exactly
    // `expected_size` bytes, then map it. Throws std::runtime_error:
    // "Could not attach shared memory <name>: <reason>" for system errors, and a message naming
    // both sizes when they differ.
    static SharedBlock attach(const std::string& name, std::size_t expected_size);

    // Writes `size` bytes at `offset` of the block with pwrite rather than through the mapping:
    // the pages of a fresh block come into being as they are written, without a fault per page
    // and without being zeroed first, and a file system that runs out of room makes an
    // error instead of a SIGBUS. Throws std::runtime_error
    // "Could not write shared memory <name>: <reason>"; the range must lie inside the block.
    void write(std::size_t offset, const std::uint8_t* bytes, std::size_t size) const;

    SharedBlock(SharedBlock&& other) noexcept;
    SharedBlock& operator=(SharedBlock&& other) noexcept;
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;
    ~SharedBlock();

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

  private:
    SharedBlock(std::string name, int fd, std::uint8_t* data, std::size_t size) noexcept
        : name_(std::move(name)), fd_(fd), data_(data), size_(size) {}
    void release() noexcept;

    std::string name_;
    int fd_ = -1;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace lorvex
