#include "lorvex/engine/frame_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace lorvex::engine {
namespace {

[[noreturn]] void fail(const char* verb, int error) {
    throw std::runtime_error(std::string("Could not ") + verb +
                             " the frames' memory: " + std::strerror(error));
}

std::size_t page_size() noexcept {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

FrameMemory::FrameMemory(std::size_t size) : size_(std::max<std::size_t>(size, 1)) {
    file_ = Descriptor(memfd_create("lorvex-frames", MFD_CLOEXEC));
    if (!file_) fail("create", errno);
    if (ftruncate(file_.get(), static_cast<off_t>(size_)) != 0) fail("size", errno);
    // Only address space until the decoders write: a load's pages come into being as its rows
    // arrive, and a long stream's only as far as its reader lets the decoders run ahead.
    void* mapped =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, file_.get(), 0);
    if (mapped == MAP_FAILED) fail("map", errno);
    data_ = static_cast<std::uint8_t*>(mapped);
}

FrameMemory::~FrameMemory() {
    munmap(data_, size_);
}

void FrameMemory::release(std::size_t offset, std::size_t length) const noexcept {
    const std::size_t page = page_size();
    const std::size_t first = (offset + page - 1) / page * page;
    const std::size_t end = std::min(offset + length, size_) / page * page;
    if (end > first) (void)madvise(data_ + first, end - first, MADV_REMOVE);
}

}  // namespace lorvex::engine
