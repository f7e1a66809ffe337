#include "lorvex/protocol/owned_frames.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace lorvex {

std::vector<OwnedFrame> owned_frames(const WorkerJob& job, const PtsInterval& interval,
                                     const FrameTable& table) {
    const bool single_instant = job.start_pts == job.end_pts;
    const bool begins_record = interval.start == job.start_pts;
    const bool ends_record = interval.end == job.end_pts;
    std::vector<OwnedFrame> owned;
    for (const RowAssignment& assignment : job.rows) {
        const std::int64_t index = assignment.frame_index;
        if (index < 0 || index >= table.size()) {
            throw std::out_of_range("frame " + std::to_string(index) + " is not in the video, " +
                                    "which has " + std::to_string(table.size()) + " frames");
        }
        const std::int64_t time = table.timestamps[static_cast<std::size_t>(index)];
        if (single_instant ||
            ((begins_record || time >= interval.start) && (ends_record || time < interval.end))) {
            owned.push_back({index, assignment.row});
        }
    }
    std::sort(owned.begin(), owned.end(), [](const OwnedFrame& a, const OwnedFrame& b) {
        return a.frame_index < b.frame_index;
    });
    owned.erase(std::unique(owned.begin(), owned.end(),
                            [](const OwnedFrame& a, const OwnedFrame& b) {
                                return a.frame_index == b.frame_index;
                            }),
                owned.end());
    return owned;
}

std::vector<std::vector<OwnedFrame>> owned_by_interval(const WorkerJob& job,
                                                       const FrameTable& table) {
    std::vector<std::vector<OwnedFrame>> owned;
    owned.reserve(job.intervals.size());
    for (const PtsInterval& interval : job.intervals) {
        owned.push_back(owned_frames(job, interval, table));
    }
    return owned;
}

bool owns_nothing(const std::vector<std::vector<OwnedFrame>>& owned) {
    return std::all_of(owned.begin(), owned.end(),
                       [](const std::vector<OwnedFrame>& frames) { return frames.empty(); });
}

}  // namespace lorvex
