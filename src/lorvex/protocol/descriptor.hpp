// An owned file descriptor, closed when dropped.
#pragma once

#include <unistd.h>

#include <utility>

namespace lorvex {

class Descriptor {
  public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        Descriptor(std::move(other)).swap(*this);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        // Not retried on EINTR: Linux releases the descriptor even then.
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void swap(Descriptor& other) noexcept { std::swap(fd_, other.fd_); }

  private:
    int fd_ = -1;
};

}  // namespace lorvex
