// The little-endian fields of the memory files lorvex writes for itself (the frame table the
// workers inherit, a probe carried to another process): written here, and read back strictly,
// every length and count checked against what is left.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lorvex {

class FieldWriter {
  public:
    explicit FieldWriter(std::string_view magic) : out_(magic) {}

    // The lowest `bytes` bytes of `value`, least significant first.
    void put(std::uint64_t value, int bytes = 8) {
        for (int i = 0; i < bytes; ++i)
            out_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
    void put_signed(std::int64_t value) { put(static_cast<std::uint64_t>(value)); }
    // Its length, then its bytes.
    void put_text(std::string_view text) {
        put(text.size());
        out_.append(text);
    }

    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

// Refuses with std::invalid_argument "bad <what>: <reason>".
class FieldReader {
  public:
    // `bytes` must start with `magic`.
    FieldReader(std::string_view bytes, std::string_view magic, std::string what)
        : what_(std::move(what)) {
        if (bytes.substr(0, magic.size()) != magic) refuse("not a " + what_);
        bytes_ = bytes.substr(magic.size());
    }

    std::uint64_t take(int bytes = 8) {
        if (left() < static_cast<std::size_t>(bytes)) refuse("truncated");
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_++]))
                     << (8 * i);
        }
        return value;
    }
    std::int64_t take_signed() { return static_cast<std::int64_t>(take()); }
    // A text put_text wrote, at most `limit` bytes long.
    std::string_view take_text(std::uint64_t limit) {
        const std::uint64_t size = take();
        if (size > limit || size > left()) refuse("a text out of range");
        const std::string_view text = bytes_.substr(position_, size);
        position_ += size;
        return text;
    }
    // A count of items that take at least `each` bytes apiece, so no more than are left.
    std::uint64_t take_count(std::size_t each) {
        const std::uint64_t count = take();
        if (count > left() / each) refuse("a count out of range");
        return count;
    }

    std::size_t left() const noexcept { return bytes_.size() - position_; }

    [[noreturn]] void refuse(const std::string& reason) const {
        throw std::invalid_argument("bad " + what_ + ": " + reason);
    }

  private:
    std::string what_;
    std::string_view bytes_;
    std::size_t position_ = 0;
};

}  // namespace lorvex
