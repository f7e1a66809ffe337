#include "lorvex/core/frame_picker.hpp"

namespace lorvex {

FramePicker::FramePicker(std::vector<OwnedFrame> owned) : owned_(std::move(owned)) {}

std::span<const OwnedFrame> FramePicker::take_reached(std::int64_t index) {
    const std::size_t first = next_;
    while (next_ < owned_.size() && owned_[next_].frame_index <= index) ++next_;
    return std::span<const OwnedFrame>(owned_).subspan(first, next_ - first);
}

std::span<const OwnedFrame> FramePicker::take_rest() {
    const std::size_t first = next_;
    next_ = owned_.size();
    return std::span<const OwnedFrame>(owned_).subspan(first);
}

}  // namespace lorvex
