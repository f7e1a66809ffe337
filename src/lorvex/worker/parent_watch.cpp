#include "lorvex/worker/parent_watch.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/worker_reason.hpp"

#include <poll.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace lorvex {

namespace {

// Without a reason, silently: nobody waits for this process's words any more.
[[noreturn]] void leave(const char* reason) {
    if (reason != nullptr) write_reason_line(reason);
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

// The fields of /proc/<pid>/stat after the name ("S ppid ..."): the name may hold spaces and
// parentheses, the fields follow the last ')'. Nothing when the process is gone.
std::optional<std::string> stat_fields(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) return std::nullopt;
    char text[512];
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    const std::string_view stat(text, length);
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size()) return std::string();
    return std::string(stat.substr(close + 2));
}

}  // namespace

bool process_running(pid_t pid) {
    const std::optional<std::string> fields = stat_fields(pid);
    if (!fields) return false;
    if (fields->empty()) return true;
    // A zombie has ended; only its parent has not reaped it yet.
    const char state = (*fields)[0];
    return state != 'Z' && state != 'X';
}

std::optional<pid_t> parent_of(pid_t pid) {
    const std::optional<std::string> fields = stat_fields(pid);
    if (!fields || fields->size() < 3) return std::nullopt;
    pid_t parent = 0;
    const char* first = fields->data() + 2;
    const auto [end, error] = std::from_chars(first, fields->data() + fields->size(), parent);
    if (error != std::errc() || parent < 0) return std::nullopt;
    return parent;
}

std::optional<pid_t> caller_named_by(std::string_view stderr_target) {
    constexpr std::string_view memfd = "/memfd:";
    if (!stderr_target.starts_with(memfd)) return std::nullopt;
    stderr_target.remove_prefix(memfd.size());
    if (!stderr_target.starts_with(names::kWorkerStderrPrefix)) return std::nullopt;
    stderr_target.remove_prefix(names::kWorkerStderrPrefix.size());
    pid_t pid = 0;
    const auto [end, error] =
        std::from_chars(stderr_target.data(), stderr_target.data() + stderr_target.size(), pid);
    if (error != std::errc() || pid <= 0) return std::nullopt;
    const std::string_view rest(
        end, static_cast<std::size_t>(stderr_target.data() + stderr_target.size() - end));
    if (!rest.empty() && rest != " (deleted)") return std::nullopt;
    return pid;
}

namespace {

// Watches from a thread of its own: `gone(milliseconds)` waits up to that long and tells
// whether the process must end, and with what reason.
template <typename Gone>
void leave_when(Gone gone) {
    if (const std::optional<const char*> reason = gone(0)) leave(*reason);
    std::thread([gone] {
        while (true) {
            if (const std::optional<const char*> reason = gone(100)) leave(*reason);
        }
    }).detach();
}

constexpr const char* kCallerLeft = "the calling process has exited";
// The worker that handed a decoder its job reads its end, and has read it or is gone.
constexpr const char* kWorkerLeft = nullptr;

}  // namespace

void exit_when_parent_exits() {
    const pid_t parent = getppid();
    const pid_t caller = caller_from_stderr().value_or(parent);
    // Usually the caller is the parent, and a new parent means it has gone. Under a wrapper
    // (strace, a launcher that forks) it is further up, and only its own state tells.
    leave_when([parent, caller](int milliseconds) -> std::optional<const char*> {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        if (caller == parent && getppid() != parent) return kCallerLeft;
        if (!process_running(caller)) return kCallerLeft;
        return std::nullopt;
    });
}

void exit_when_worker_exits(int job_connection, pid_t caller) {
    // The worker never writes after its request: its connection only ever hangs up.
    leave_when([job_connection, caller](int milliseconds) -> std::optional<const char*> {
        pollfd entry{job_connection, POLLRDHUP, 0};
        if (poll(&entry, 1, milliseconds) > 0 &&
            (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return kWorkerLeft;
        }
        if (!process_running(caller)) return kCallerLeft;
        return std::nullopt;
    });
}

void exit_when_engine_leaves(int connection, pid_t caller, const std::atomic<bool>& job_running) {
    leave_when([connection, caller, &job_running](int milliseconds) -> std::optional<const char*> {
        pollfd entry{connection, POLLRDHUP, 0};
        if (poll(&entry, 1, milliseconds) > 0 &&
            (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if (job_running.load()) return kWorkerLeft;
            // Hung up between jobs: the decoder is on its way out.
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
        if (!process_running(caller)) return kCallerLeft;
        return std::nullopt;
    });
}

}  // namespace lorvex
