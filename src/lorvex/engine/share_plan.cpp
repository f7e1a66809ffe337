#include "lorvex/engine/share_plan.hpp"

#include <algorithm>
#include <cstdint>

namespace lorvex::engine {
namespace {

// The requested frames that decode from one keyframe: frames[first, end), decoded from the
// picture of rank `start` (the keyframe's first rank) to the last of them.
struct Group {
    std::size_t first;
    std::size_t end;
    std::int64_t start;
    std::int64_t last;
};

std::vector<Group> groups_of(const FrameTable& table, std::span<const std::int64_t> frames) {
    std::vector<Group> groups;
    std::optional<std::size_t> current;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::optional<std::size_t> keyframe = table.start_keyframe(frames[i]);
        if (!groups.empty() && keyframe == current) {
            groups.back().end = i + 1;
            groups.back().last = frames[i];
            continue;
        }
        current = keyframe;
        const std::int64_t start = keyframe ? table.keyframes[*keyframe].first_rank : 0;
        groups.push_back({i, i + 1, std::min(start, frames[i]), frames[i]});
    }
    return groups;
}

// What a decoder spends on `group` after delivering `before` (nothing: it starts with the
// group): the pictures from the group's keyframe, and after another group a seek as well;
// or, where that is cheaper, the pictures on from `before` through the gap.
std::int64_t cost_after(const Group* before, const Group& group) {
    const std::int64_t afresh = group.last - group.start + 1;
    if (before == nullptr) return afresh;
    if (group.start > before->last && group.start - before->last - 1 <= kSeekCost) {
        return std::min(afresh + kSeekCost, group.last - before->last);
    }
    return afresh + kSeekCost;
}

// Cuts `groups` into runs, each closed once adding the next group would take it past `limit`
// or once `enough` says it holds enough.
template <typename Enough>
std::vector<Share> cut(const std::vector<Group>& groups, std::int64_t limit, Enough enough) {
    std::vector<Share> shares;
    const Group* before = nullptr;
    for (const Group& group : groups) {
        const std::int64_t added = cost_after(before, group);
        if (!shares.empty() && shares.back().cost + added <= limit && !enough(shares.back())) {
            shares.back().end = group.end;
            shares.back().cost += added;
        } else {
            shares.push_back({group.first, group.end, cost_after(nullptr, group)});
        }
        before = &group;
    }
    return shares;
}

}  // namespace

std::vector<Share> balanced_shares(const FrameTable& table, std::span<const std::int64_t> frames,
                                   int decoders) {
    const std::vector<Group> groups = groups_of(table, frames);
    if (groups.empty()) return {};
    const auto never = [](const Share&) { return false; };
    // The smallest limit on a share's cost at which the groups fit in `decoders` shares:
    // between the dearest group and all of them in one share.
    std::int64_t low = 0;
    for (const Group& group : groups) low = std::max(low, cost_after(nullptr, group));
    std::int64_t high = std::max(low, cut(groups, INT64_MAX, never).front().cost);
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (cut(groups, middle, never).size() <= static_cast<std::size_t>(std::max(decoders, 1))) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return cut(groups, low, never);
}

std::vector<Share> stream_shares(const FrameTable& table, std::span<const std::int64_t> frames,
                                 std::size_t least_frames) {
    const std::vector<Group> groups = groups_of(table, frames);
    return cut(groups, INT64_MAX, [least_frames](const Share& share) {
        return share.end - share.first >= least_frames;
    });
}

}  // namespace lorvex::engine
