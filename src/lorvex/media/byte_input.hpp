// A video read from bytes that are not a file of their own (a unit test's reader that fails
// part way, a fuzzer's input): FFmpeg reads them through an AVIOContext over a ByteReader.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "lorvex/media/ffmpeg.hpp"

namespace lorvex {

class ByteReader {
  public:
    virtual ~ByteReader() = default;
    // Up to `size` bytes into `buffer`: how many, AVERROR_EOF at the end, or another AVERROR.
    virtual int read(std::uint8_t* buffer, int size) = 0;
    // As FFmpeg's seek callbacks: SEEK_SET, SEEK_CUR or SEEK_END, or AVSEEK_SIZE for the size.
    // The new position, or a negative AVERROR.
    virtual std::int64_t seek(std::int64_t offset, int whence) = 0;
};

// A reader's seek as FFmpeg asks it (`whence` SEEK_SET, SEEK_CUR or SEEK_END, AVSEEK_FORCE
// ignored, or AVSEEK_SIZE): moves `position` and returns it, or returns the size, or a
// negative AVERROR for a place before the start or past what an int64 holds. `size` is asked
// only when needed, and a negative AVERROR from it is returned as it is.
std::int64_t seek_position(std::int64_t& position, std::int64_t offset, int whence,
                           const std::function<std::int64_t()>& size);

// A fresh reader at the first byte for each opening: a decoder opens its input again to
// rewind, as it would open a file again.
using ByteReaderFactory = std::function<std::unique_ptr<ByteReader>()>;

// The AVIOContext FFmpeg reads a ByteReader through. It must outlive the format context that
// reads it: FFmpeg never closes I/O that its caller supplied.
class ByteInput {
  public:
    explicit ByteInput(std::unique_ptr<ByteReader> reader);
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    AVIOContext* context() const noexcept { return context_.get(); }

  private:
    struct ContextFreer {
        void operator()(AVIOContext* context) const noexcept;
    };

    std::unique_ptr<ByteReader> reader_;
    std::unique_ptr<AVIOContext, ContextFreer> context_;
};

}  // namespace lorvex
