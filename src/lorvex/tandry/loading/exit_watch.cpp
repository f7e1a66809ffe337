#include "lorvex/tandry/loading/exit_watch.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <Python.h>

#include <cerrno>

namespace lorvex::tandry {

namespace {

// The descriptors of one wait, closed however it ends.
struct PidDescriptors {
    std::vector<pollfd> entries;
    PidDescriptors() = default;
    PidDescriptors(const PidDescriptors&) = delete;
    PidDescriptors& operator=(const PidDescriptors&) = delete;
    ~PidDescriptors() {
        for (const pollfd& entry : entries) close(entry.fd);
    }
};

}  // namespace

bool wait_for_any_exit(const std::vector<pid_t>& pids, int milliseconds) {
    PidDescriptors watched;
    for (const pid_t pid : pids) {
        const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (descriptor < 0) {
            // Already reaped by someone else: something changed, let the caller look.
            if (errno == ESRCH) return true;
            return false;
        }
        watched.entries.push_back({descriptor, POLLIN, 0});
    }
    Py_BEGIN_ALLOW_THREADS
        // EINTR (a signal for the interpreter) ends the wait like a timeout does.
        poll(watched.entries.data(), watched.entries.size(), milliseconds);
    Py_END_ALLOW_THREADS return true;
}

}  // namespace lorvex::tandry
