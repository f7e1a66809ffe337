#include "lorvex/media/byte_input.hpp"

#include <cstdint>
#include <new>

extern "C" {
#include <libavutil/mem.h>
}

namespace lorvex {
namespace {

constexpr int kBufferSize = 32 * 1024;

struct BufferFreer {
    void operator()(std::uint8_t* buffer) const noexcept { av_free(buffer); }
};

int read_bytes(void* opaque, std::uint8_t* buffer, int size) {
    return static_cast<ByteReader*>(opaque)->read(buffer, size);
}

std::int64_t seek_bytes(void* opaque, std::int64_t offset, int whence) {
    return static_cast<ByteReader*>(opaque)->seek(offset, whence);
}

}  // namespace

void ByteInput::ContextFreer::operator()(AVIOContext* context) const noexcept {
    // FFmpeg may have replaced the buffer it was given; the context owns whichever it holds.
    av_freep(&context->buffer);
    avio_context_free(&context);
}

ByteInput::ByteInput(std::unique_ptr<ByteReader> reader) : reader_(std::move(reader)) {
    std::unique_ptr<std::uint8_t, BufferFreer> buffer(
        static_cast<std::uint8_t*>(av_malloc(kBufferSize)));
    if (!buffer) throw std::bad_alloc();
    context_.reset(avio_alloc_context(buffer.get(), kBufferSize, 0, reader_.get(), read_bytes,
                                      nullptr, seek_bytes));
    if (!context_) throw std::bad_alloc();
    buffer.release();  // now the context's
}

std::int64_t seek_position(std::int64_t& position, std::int64_t offset, int whence,
                           const std::function<std::int64_t()>& size) {
    whence &= ~AVSEEK_FORCE;
    std::int64_t base = 0;
    if (whence == AVSEEK_SIZE || whence == SEEK_END) {
        const std::int64_t bytes = size();
        if (whence == AVSEEK_SIZE || bytes < 0) return bytes;
        base = bytes;
    } else if (whence == SEEK_CUR) {
        base = position;
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if (offset > 0 ? base > INT64_MAX - offset : base + offset < 0) return AVERROR(EINVAL);
    position = base + offset;
    return position;
}

}  // namespace lorvex
