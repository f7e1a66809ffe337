#include "lorvex/worker/quarter_turns.hpp"

namespace lorvex {

int unturned_width(int width, int height, const FrameFormat& format) {
    return format.turns_sideways() ? height : width;
}

int unturned_height(int width, int height, const FrameFormat& format) {
    return format.turns_sideways() ? width : height;
}

SourceLine source_line(int turns, std::ptrdiff_t y, std::ptrdiff_t columns, std::ptrdiff_t lines) {
    // A clockwise quarter turn puts the source's first column, read upwards, on the first line.
    switch (turns) {
        case 1:
            return {(lines - 1) * columns + y, -columns};
        case 2:
            return {(lines - 1 - y) * columns + columns - 1, -1};
        case 3:
            return {columns - 1 - y, columns};
        default:
            return {y * columns, 1};
    }
}

}  // namespace lorvex
