#include "lorvex/worker/worker_path.hpp"

#include <array>
#include <filesystem>
#include <string_view>

namespace lorvex {
namespace {

bool names_own_descriptor(const std::string& path) {
    const std::string normal = std::filesystem::path(path).lexically_normal().string();
    constexpr std::array<std::string_view, 4> folders{"/proc/self/", "/proc/thread-self/",
                                                      "/dev/fd/", "/dev/std"};
    for (const std::string_view folder : folders) {
        if (normal.starts_with(folder) || normal + "/" == folder) return true;
    }
    return false;
}

bool climbs(const std::string& path) {
    for (const auto& part : std::filesystem::path(path)) {
        if (part == "..") return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> service_location(pid_t worker, const std::string& path) {
    if (path.starts_with('/')) {
        if (names_own_descriptor(path)) return std::nullopt;
        return path;
    }
    // "..", resolved from the worker's folder through /proc/<pid>/cwd, may climb to where
    // /proc/self means the service: such a path is left to the decoder.
    if (climbs(path)) return std::nullopt;
    return "/proc/" + std::to_string(worker) + "/cwd/" + path;
}

}  // namespace lorvex
