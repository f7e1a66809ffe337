// A file mapped read-only into memory: the bytes of a few places of a large file are read
// where they are touched, not the whole file. A remote video (remote_video.hpp) is not mapped:
// its top-level box headers and its movie box are fetched into memory at their places, and the
// rest reads as zeros, which is all its index needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lorvex {

class MappedFile {
  public:
    // Maps the regular file at `path`, or fetches what the index needs of the remote video
    // `path` names; throws std::runtime_error when it cannot.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
    std::uint64_t size() const noexcept { return size_; }
    // Whether the samples' own bytes are there: not for a remote video, whose samples are
    // fetched only when a decoder reads them.
    bool holds_samples() const noexcept { return holds_samples_; }

    // Lets go of the pages before `offset` that this process has touched (they stay in the
    // page cache, and are read again if touched again): a walk through a large file in order
    // then holds a bounded part of it in its resident memory.
    void release_before(std::uint64_t offset) const noexcept;

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    mutable std::size_t released_ = 0;  // pages before this offset were let go
    bool holds_samples_ = true;

    void fetch_index(const std::string& locator);
};

}  // namespace lorvex
