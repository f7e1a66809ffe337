#include "lorvex/media/mapped_file.hpp"
#include "lorvex/media/remote_input.hpp"
#include "lorvex/protocol/remote_video.hpp"

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
    if (remote_video::parse_locator(path)) {
        fetch_index(path);
        return;
    }
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

void MappedFile::fetch_index(const std::string& text) {
    const std::optional<remote_video::Locator> locator = remote_video::parse_locator(text);
    const std::unique_ptr<ByteReader> reader = remote_reader(*locator, text);
    holds_samples_ = false;
    size_ = static_cast<std::size_t>(locator->size);
    if (size_ == 0) return;
    // Untouched, its pages cost nothing: they read as zeros.
    void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) fail(locator->name, errno);
    auto* bytes = static_cast<std::uint8_t*>(mapped);
    data_ = bytes;
    const auto fetch = [&](std::uint64_t offset, std::uint64_t length) {
        if (reader->seek(static_cast<std::int64_t>(offset), SEEK_SET) < 0) return false;
        std::uint64_t done = 0;
        while (done < length) {
            const int step = static_cast<int>(std::min<std::uint64_t>(length - done, 1u << 20));
            const int got = reader->read(bytes + offset + done, step);
            if (got <= 0) return false;
            done += static_cast<std::uint64_t>(got);
        }
        return true;
    };
    // The top-level boxes' headers, and the movie box whole.
    std::uint64_t position = 0;
    while (size_ - position >= 8) {
        if (!fetch(position, std::min<std::uint64_t>(16, size_ - position))) {
            throw std::runtime_error("Could not read " + locator->name);
        }
        std::uint64_t box = 0;
        for (int i = 0; i < 4; ++i) box = (box << 8) | bytes[position + static_cast<unsigned>(i)];
        const bool movie = std::memcmp(bytes + position + 4, "moov", 4) == 0;
        if (box == 1 && size_ - position >= 16) {
            box = 0;
            for (int i = 8; i < 16; ++i)
                box = (box << 8) | bytes[position + static_cast<unsigned>(i)];
        } else if (box == 0) {
            box = size_ - position;
        }
        if (box < 8 || box > size_ - position) break;
        if (movie && !fetch(position, box))
            throw std::runtime_error("Could not read " + locator->name);
        position += box;
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
