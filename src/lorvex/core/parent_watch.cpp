#include "lorvex/core/parent_watch.hpp"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

namespace lorvex {

namespace {

[[noreturn]] void leave() {
    std::fputs("lorvex: the calling process has exited\n", stderr);
    // No unwinding: the decoding thread may hold any lock, and nothing it holds matters to
    // anyone now.
    _exit(1);
}

std::optional<pid_t> caller_from_stderr() {
    char target[256];
    const ssize_t length = readlink("/proc/self/fd/2", target, sizeof target);
    if (length <= 0) return std::nullopt;
    return caller_named_by(std::string_view(target, static_cast<std::size_t>(length)));
}

}  // namespace

bool process_running(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char text[512];
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // "pid (name) state ...": the name may hold spaces and parentheses, the state follows the
    // last ')'. A zombie has ended; only its parent has not reaped it yet.
    const std::string_view stat(text, length);
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size()) return true;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

std::optional<pid_t> caller_named_by(std::string_view stderr_target) {
    constexpr std::string_view memfd = "/memfd:";
    if (!stderr_target.starts_with(memfd)) return std::nullopt;
    stderr_target.remove_prefix(memfd.size());
    if (!stderr_target.starts_with(kWorkerStderrPrefix)) return std::nullopt;
    stderr_target.remove_prefix(kWorkerStderrPrefix.size());
    pid_t pid = 0;
    const auto [end, error] =
        std::from_chars(stderr_target.data(), stderr_target.data() + stderr_target.size(), pid);
    if (error != std::errc() || pid <= 0) return std::nullopt;
    const std::string_view rest(
        end, static_cast<std::size_t>(stderr_target.data() + stderr_target.size() - end));
    if (!rest.empty() && rest != " (deleted)") return std::nullopt;
    return pid;
}

void exit_when_parent_exits() {
    const pid_t parent = getppid();
    const pid_t caller = caller_from_stderr().value_or(parent);
    // Usually the caller is the parent, and a new parent means it has gone. Under a wrapper
    // (strace, a launcher that forks) it is further up, and only its own state tells.
    const auto caller_gone = [parent, caller] {
        if (caller == parent && getppid() != parent) return true;
        return !process_running(caller);
    };
    if (caller_gone()) leave();
    std::thread([caller_gone] {
        while (!caller_gone()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        leave();
    }).detach();
}

}  // namespace lorvex
