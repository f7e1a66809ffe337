// Bytes in memory as a video source, optionally unreadable past some offset: how the fuzzers
// feed their inputs to the open and decode path, and how the unit tests fake a failing disk.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include "lorvex/media/byte_input.hpp"
#include "lorvex/media/video_input.hpp"

namespace lorvex::fuzz {

class MemoryReader : public ByteReader {
  public:
    // Reading at or past `readable` gives `failure` instead of bytes.
    explicit MemoryReader(std::span<const std::uint8_t> bytes,
                          std::size_t readable = std::numeric_limits<std::size_t>::max(),
                          int failure = AVERROR(EIO))
        : bytes_(bytes), readable_(readable), failure_(failure) {}

    int read(std::uint8_t* buffer, int size) override {
        if (position_ >= readable_ && position_ < bytes_.size()) return failure_;
        if (position_ >= bytes_.size()) return AVERROR_EOF;
        const std::size_t end =
            std::min({bytes_.size(), readable_, position_ + static_cast<std::size_t>(size)});
        const std::size_t count = end - position_;
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ = end;
        return static_cast<int>(count);
    }

    std::int64_t seek(std::int64_t offset, int whence) override {
        const auto size = static_cast<std::int64_t>(bytes_.size());
        std::int64_t target = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case AVSEEK_SIZE:
                return size;
            case SEEK_SET:
                target = offset;
                break;
            case SEEK_CUR:
                if (__builtin_add_overflow(static_cast<std::int64_t>(position_), offset, &target)) {
                    return AVERROR(EINVAL);
                }
                break;
            case SEEK_END:
                if (__builtin_add_overflow(size, offset, &target)) return AVERROR(EINVAL);
                break;
            default:
                return AVERROR(EINVAL);
        }
        if (target < 0) return AVERROR(EINVAL);
        position_ = static_cast<std::size_t>(target);
        return target;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t readable_;
    int failure_;
    std::size_t position_ = 0;
};

// `bytes` as the source a decoder reads (they must outlive it); errors name `name`.
inline VideoSource memory_source(std::string name, std::span<const std::uint8_t> bytes,
                                 std::size_t readable = std::numeric_limits<std::size_t>::max(),
                                 int failure = AVERROR(EIO)) {
    return VideoSource{std::move(name), [bytes, readable, failure] {
                           return std::make_unique<MemoryReader>(bytes, readable, failure);
                       }};
}

}  // namespace lorvex::fuzz
