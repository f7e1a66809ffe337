#include "lorvex/media/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace lorvex {
namespace {

[[noreturn]] void fail(const std::string& path, int error) {
    throw std::runtime_error("Could not map " + path + ": " + std::strerror(error));
}

}  // namespace

MappedFile::MappedFile(const std::string& path) {
    // Without blocking: a pipe or a device is refused below, not waited on.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) fail(path, errno);
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno ? errno : EINVAL;
        ::close(descriptor);
        fail(path, error);
    }
    size_ = static_cast<std::size_t>(status.st_size);
    if (size_ > 0) {
        void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, descriptor, 0);
        const int error = errno;
        ::close(descriptor);
        if (mapped == MAP_FAILED) fail(path, error);
        data_ = static_cast<const std::uint8_t*>(mapped);
    } else {
        ::close(descriptor);
    }
}

void MappedFile::release_before(std::uint64_t offset) const noexcept {
    // In steps of whole megabytes: one system call per step, not per page.
    constexpr std::size_t kStep = std::size_t{4} << 20;
    const std::size_t end = std::min<std::size_t>(offset, size_) / kStep * kStep;
    if (data_ == nullptr || end <= released_) return;
    madvise(const_cast<std::uint8_t*>(data_) + released_, end - released_, MADV_DONTNEED);
    released_ = end;
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace lorvex
