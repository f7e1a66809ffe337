#include "lorvex/container/table_cache.hpp"

#include <deque>
#include <mutex>
#include <utility>

namespace lorvex::container {
namespace {

// A few recent files: enough for a reader's probe and its loads, bounded for long jobs that
// visit many files.
constexpr std::size_t kRemembered = 16;

struct Entry {
    std::string url;
    FileIdentity identity;
    std::string encoded;
};

std::mutex cache_lock;
std::deque<Entry>& entries() {
    static std::deque<Entry> cache;
    return cache;
}

}  // namespace

void remember_frame_table(const std::string& url, const IdentifiedTable& table) {
    std::string encoded = encode_frame_table(table);
    const std::lock_guard lock(cache_lock);
    auto& cache = entries();
    std::erase_if(cache, [&](const Entry& entry) { return entry.url == url; });
    cache.push_front({url, table.file, std::move(encoded)});
    if (cache.size() > kRemembered) cache.pop_back();
}

std::optional<std::string> remembered_frame_table(const std::string& url,
                                                  const FileIdentity& identity) {
    const std::lock_guard lock(cache_lock);
    for (const Entry& entry : entries()) {
        if (entry.url == url && entry.identity == identity) return entry.encoded;
    }
    return std::nullopt;
}

}  // namespace lorvex::container
