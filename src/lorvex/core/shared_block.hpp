// A named POSIX shared-memory block that a loader created, mapped read-write by a worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lorvex {

// Move-only: the mapping is removed when the last owner goes. The block itself is never
// created, resized or unlinked here; it belongs to the loader that made it.
class SharedBlock {
  public:
    // shm_open (a "/" is prepended to a name without one), check that the block is exactly
    // `expected_size` bytes, then map it. Throws std::runtime_error:
    // "Could not attach shared memory <name>: <reason>" for system errors, and a message naming
    // both sizes when they differ.
    static SharedBlock attach(const std::string& name, std::size_t expected_size);

    SharedBlock(SharedBlock&& other) noexcept;
    SharedBlock& operator=(SharedBlock&& other) noexcept;
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;
    ~SharedBlock();

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

  private:
    SharedBlock(std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
    void unmap() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace lorvex
