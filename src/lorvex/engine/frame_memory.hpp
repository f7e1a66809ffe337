// The memory a load's rows are written into, once: a memory file that the decoders fill with
// positioned writes (pages come into being as rows arrive, never zero-filled first) and that
// this process maps. The arrays handed out are views of the mapping, which lives as long as
// the last of them; rows a stream has handed out and seen dropped give their pages back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lorvex/protocol/descriptor.hpp"

namespace lorvex::engine {

class FrameMemory {
  public:
    // A memory file of `size` bytes (at least one), mapped read-write. Throws
    // std::runtime_error "Could not <verb> the frames' memory: <reason>".
    explicit FrameMemory(std::size_t size);
    FrameMemory(const FrameMemory&) = delete;
    FrameMemory& operator=(const FrameMemory&) = delete;
    ~FrameMemory();

    // The memory file, for the decoders; closed here once every decoder holds it.
    int descriptor() const noexcept { return file_.get(); }
    void close_descriptor() noexcept { file_ = Descriptor(); }

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Gives back the pages that lie wholly inside [offset, offset + length): their rows are
    // not read again.
    void release(std::size_t offset, std::size_t length) const noexcept;

  private:
    Descriptor file_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace lorvex::engine
