#include "lorvex/protocol/shared_block.hpp"
#include "lorvex/protocol/positioned_write.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "lorvex/protocol/descriptor.hpp"

namespace lorvex {
namespace {

[[noreturn]] void throw_errno(const std::string& name, int error) {
    throw std::runtime_error("Could not attach shared memory " + name + ": " +
                             std::strerror(error));
}

void close_descriptor(int fd) noexcept {
    // Not retried on EINTR: Linux releases the descriptor even then.
    if (fd >= 0) ::close(fd);
}

Descriptor open_block(const std::string& name) {
    const std::string path = name.starts_with('/') ? name : "/" + name;
    for (;;) {
        const int fd = ::shm_open(path.c_str(), O_RDWR, 0);
        if (fd >= 0) return Descriptor(fd);
        if (errno != EINTR) throw_errno(name, errno);
    }
}

std::size_t block_size(const Descriptor& block, const std::string& name) {
    struct stat status {};
    while (::fstat(block.get(), &status) != 0) {
        if (errno != EINTR) throw_errno(name, errno);
    }
    return static_cast<std::size_t>(status.st_size);
}

}  // namespace

SharedBlock SharedBlock::attach(const std::string& name, std::size_t expected_size) {
    if (name.empty() || name == "/") {
        throw std::runtime_error("Could not attach shared memory '" + name + "': empty name");
    }
    Descriptor block = open_block(name);
    const std::size_t actual_size = block_size(block, name);
    if (actual_size != expected_size) {
        throw std::runtime_error("Shared memory block " + name + " has " +
                                 std::to_string(actual_size) + " bytes, expected " +
                                 std::to_string(expected_size));
    }
    // mmap refuses a zero length; an empty block needs no mapping.
    void* mapped = nullptr;
    if (expected_size != 0) {
        mapped = ::mmap(nullptr, expected_size, PROT_READ | PROT_WRITE, MAP_SHARED, block.get(), 0);
        if (mapped == MAP_FAILED) throw_errno(name, errno);
    }
    return SharedBlock(name, block.release(), static_cast<std::uint8_t*>(mapped), expected_size);
}

void SharedBlock::write(std::size_t offset, const std::uint8_t* bytes, std::size_t size) const {
    if (offset > size_ || size > size_ - offset) {
        throw std::out_of_range("Could not write shared memory " + name_ + ": bytes " +
                                std::to_string(offset) + " to " + std::to_string(offset + size) +
                                " lie outside its " + std::to_string(size_));
    }
    write_at(fd_, static_cast<off_t>(offset), bytes, size, "shared memory " + name_);
}

SharedBlock::SharedBlock(SharedBlock&& other) noexcept
    : name_(std::move(other.name_)),
      fd_(std::exchange(other.fd_, -1)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

SharedBlock& SharedBlock::operator=(SharedBlock&& other) noexcept {
    if (this != &other) {
        release();
        name_ = std::move(other.name_);
        fd_ = std::exchange(other.fd_, -1);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SharedBlock::~SharedBlock() {
    release();
}

void SharedBlock::release() noexcept {
    if (data_ != nullptr) ::munmap(data_, size_);
    close_descriptor(fd_);
    fd_ = -1;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace lorvex
