#include "lorvex/protocol/open_descriptors.hpp"

#include <dirent.h>

#include <charconv>
#include <memory>
#include <string_view>

namespace lorvex {
namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

}  // namespace

std::optional<std::vector<int>> open_descriptors() {
    const std::unique_ptr<DIR, DirectoryCloser> listing(opendir("/proc/self/fd"));
    if (!listing) return std::nullopt;
    std::vector<int> found;
    while (const dirent* entry = readdir(listing.get())) {
        int descriptor = -1;
        const std::string_view name(entry->d_name);
        const auto [end, error] =
            std::from_chars(name.data(), name.data() + name.size(), descriptor);
        // "." and ".." are not numbers.
        if (error != std::errc() || end != name.data() + name.size()) continue;
        if (descriptor != dirfd(listing.get())) found.push_back(descriptor);
    }
    return found;
}

}  // namespace lorvex
