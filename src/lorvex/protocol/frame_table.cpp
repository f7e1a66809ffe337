#include "lorvex/protocol/frame_table.hpp"

#include <algorithm>

namespace lorvex {

std::optional<std::size_t> FrameTable::start_keyframe(std::int64_t rank) const {
    const auto after = std::upper_bound(keyframes.begin(), keyframes.end(), rank,
                                        [](std::int64_t value, const TableKeyframe& keyframe) {
                                            return value < keyframe.first_rank;
                                        });
    if (after == keyframes.begin()) return std::nullopt;
    return static_cast<std::size_t>(after - keyframes.begin() - 1);
}

std::int64_t FrameTable::pictures_to_decode(std::vector<std::int64_t> ranks) const {
    std::sort(ranks.begin(), ranks.end());
    std::int64_t pictures = 0;
    std::int64_t decoded_until = -1;  // every rank up to this one is counted
    for (const std::int64_t rank : ranks) {
        if (rank < 0 || rank >= size() || rank <= decoded_until) continue;
        const std::optional<std::size_t> start = start_keyframe(rank);
        const std::int64_t first = start ? keyframes[*start].first_rank : 0;
        pictures += rank - std::max(first, decoded_until + 1) + 1;
        decoded_until = rank;
    }
    return pictures;
}

std::optional<std::size_t> FrameTable::find_keyframe(std::int64_t stamp, std::int64_t dts) const {
    for (std::size_t i = 0; i < keyframes.size(); ++i) {
        if (keyframes[i].stamp == stamp && keyframes[i].dts == dts) return i;
    }
    return std::nullopt;
}

}  // namespace lorvex
