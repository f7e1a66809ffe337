#include "lorvex/container/table_cache.hpp"

#include <utility>

namespace lorvex::container {
namespace {

// Enough for a reader's probe and its loads, bounded for long jobs that visit many files.
constexpr std::size_t kRemembered = 16;

}  // namespace

void FrameTableCache::remember(const std::string& url, const IdentifiedTable& table) {
    std::string encoded = encode_frame_table(table);
    const std::lock_guard lock(lock_);
    std::erase_if(entries_, [&](const Entry& entry) { return entry.url == url; });
    entries_.push_front({url, table.file, std::move(encoded)});
    if (entries_.size() > kRemembered) entries_.pop_back();
}

std::optional<std::string> FrameTableCache::find(const std::string& url,
                                                 const FileIdentity& identity) const {
    const std::lock_guard lock(lock_);
    for (const Entry& entry : entries_) {
        if (entry.url == url && entry.identity == identity) return entry.encoded;
    }
    return std::nullopt;
}

}  // namespace lorvex::container
