// A file mapped read-only into memory: the bytes of a few places of a large file are read
// where they are touched, not the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lorvex {

class MappedFile {
  public:
    // Maps the regular file at `path`; throws std::runtime_error when it cannot.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
    std::uint64_t size() const noexcept { return size_; }

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace lorvex
