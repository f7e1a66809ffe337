#include "lorvex/worker/decoder_service_takeover.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/open_descriptors.hpp"
#include "lorvex/worker/worker_program.hpp"

namespace lorvex {
namespace {

using decoder_service::Reply;
using decoder_service::Request;

// The real path of `path`, or "" when it has none.
std::string real_path(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// Gives the forked decoder the worker's descriptors under the worker's numbers, the worker's
// working folder, and nothing of the service's but the input prepared for the job, whose
// descriptor gets a number clear of the worker's; returns the connection's new number, or -1.
int take_over_descriptors(int connection, const Request& request, PreparedInput* input) {
    if (fchdir(request.descriptors.front()) != 0) return -1;
    int above = 3;
    for (const int number : request.descriptor_numbers) above = std::max(above, number + 1);
    // First everything out of the way of the numbers wanted, then into place.
    const int moved_connection = fcntl(connection, F_DUPFD_CLOEXEC, above);
    if (moved_connection < 0) return -1;
    std::vector<int> kept{moved_connection};
    for (std::size_t i = 1; i < request.descriptors.size(); ++i) {
        const int moved = fcntl(request.descriptors[i], F_DUPFD_CLOEXEC, above);
        if (moved < 0) return -1;
        kept.push_back(moved);
    }
    if (input != nullptr) {
        const int moved = fcntl(input->descriptor(), F_DUPFD_CLOEXEC, above);
        if (moved < 0) return -1;
        input->renumber(moved);
        kept.push_back(moved);
    }
    if (!close_all_but(kept)) return -1;
    for (std::size_t i = 0; i < request.descriptor_numbers.size(); ++i) {
        if (dup2(kept[i + 1], request.descriptor_numbers[i]) < 0) return -1;
        close(kept[i + 1]);
    }
    return moved_connection;
}

// Priority and processors as the worker has them (an interleaved worker yields to the ones
// before it; a caller may have pinned its workers). Best effort: the service's are fine too.
void adopt_scheduling_of(pid_t worker) {
    errno = 0;
    const int priority = getpriority(PRIO_PROCESS, worker);
    if (priority != -1 || errno == 0) (void)setpriority(PRIO_PROCESS, 0, priority);
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(worker, sizeof processors, &processors) == 0) {
        (void)sched_setaffinity(0, sizeof processors, &processors);
    }
}

[[noreturn]] void decline(int connection) {
    decoder_service::send_reply(connection, {Reply::Kind::declined, 0});
    _exit(0);
}

}  // namespace

bool close_all_but(const std::vector<int>& kept) {
    const std::optional<std::vector<int>> open = open_descriptors();
    if (!open) return false;
    for (const int descriptor : *open) {
        if (std::find(kept.begin(), kept.end(), descriptor) == kept.end()) close(descriptor);
    }
    return true;
}

std::string this_program() {
    return real_path("/proc/self/exe");
}

void run_forked_decoder(int connection, pid_t caller, const std::string& program,
                        PreparedInput* input) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::optional<Request> request = decoder_service::receive_request(connection);
    if (!request) _exit(0);
    const std::optional<ucred> worker = decoder_service::peer_of(connection);
    // Only a worker of the same build: its decoder must be this very program.
    if (!worker || program.empty() || real_path(request->decoder.c_str()) != program) {
        decline(connection);
    }
    const int job_connection = take_over_descriptors(connection, *request, input);
    if (job_connection < 0) decline(connection);
    if (input != nullptr) offer_input(std::move(*input));
    adopt_scheduling_of(worker->pid);
    // The decoder's pid, for an engine that must say which decoder failed or stop a stuck one.
    decoder_service::send_reply(job_connection, {Reply::Kind::accepted, getpid()});

    const std::string program_name(names::kDecoderProgram);
    std::vector<const char*> arguments{program_name.c_str()};
    for (const std::string& argument : request->arguments) arguments.push_back(argument.c_str());
    arguments.push_back(nullptr);
    const int status = run_handed_over_decoder(static_cast<int>(arguments.size() - 1),
                                               arguments.data(), job_connection, caller);
    std::fflush(nullptr);
    decoder_service::send_reply(job_connection, {Reply::Kind::exited, status});
    _exit(status);
}

}  // namespace lorvex
