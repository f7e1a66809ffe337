// Hands the owned frames of an interval, in index order, to the pictures that fill them: each
// owned index takes the first picture whose estimated index reaches it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lorvex/core/frame_index.hpp"

namespace lorvex {

class FramePicker {
  public:
    explicit FramePicker(std::vector<OwnedFrame> owned);  // sorted by frame index

    bool done() const noexcept { return next_ == owned_.size(); }
    // The first frame still waiting; only while !done().
    const OwnedFrame& waiting() const { return owned_[next_]; }

    // The waiting frames a picture of estimated index `index` fills; they stop waiting.
    std::span<const OwnedFrame> take_reached(std::int64_t index);
    // Every frame still waiting (the stream ended: the last picture fills them).
    std::span<const OwnedFrame> take_rest();

  private:
    std::vector<OwnedFrame> owned_;
    std::size_t next_ = 0;
};

}  // namespace lorvex
