#include "lorvex/engine/decoder_service_start.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/names.hpp"

extern char** environ;

namespace lorvex::engine {
namespace {

// The service this copy started: one per process, whatever loads it (every interpreter shares
// it, and the other extension finds its address taken). Touched with the GIL held only.
struct ServiceState {
    pid_t owner = 0;    // the process that started it: a fork must start its own
    pid_t service = 0;  // its pid, a child of `owner`
};
ServiceState state;

bool executable(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// A socket on this process's service address, listening; the address is taken before the
// service starts, so that no worker finds it missing in between. Nothing when the address is
// taken: the other extension's copy of this file runs a service for this process already.
Descriptor listen_for_workers() {
    Descriptor listening(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listening) return listening;
    const decoder_service::Address address = decoder_service::address_of(getpid());
    if (bind(listening.get(), reinterpret_cast<const sockaddr*>(&address.address),
             address.length) != 0 ||
        listen(listening.get(), SOMAXCONN) != 0) {
        return Descriptor();
    }
    return listening;
}

// Frees and holds the spawn attributes and file actions.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

std::optional<pid_t> start_service(const std::string& program, int listening) {
    SpawnSetup setup;
    // The standard streams on /dev/null, the socket as descriptor 3, nothing else of ours.
    const int streams[3] = {O_RDONLY, O_WRONLY, O_WRONLY};
    for (int stream = 0; stream < 3; ++stream) {
        if (posix_spawn_file_actions_addopen(&setup.actions, stream, "/dev/null", streams[stream],
                                             0) != 0) {
            return std::nullopt;
        }
    }
    if (posix_spawn_file_actions_adddup2(&setup.actions, listening, names::kListeningDescriptor) !=
            0 ||
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, names::kListeningDescriptor + 1) !=
            0) {
        return std::nullopt;
    }
    // The signals the interpreter ignores go back to their defaults, as subprocess does for
    // the workers; no signal blocked.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    const std::string caller = std::to_string(getpid());
    const std::string mode(names::kServeMode);
    char* const arguments[] = {const_cast<char*>(names::kDecoderProgram.data()),
                               const_cast<char*>(mode.c_str()), const_cast<char*>(caller.c_str()),
                               nullptr};
    pid_t service = 0;
    if (posix_spawn(&service, program.c_str(), &setup.actions, &setup.attributes, arguments,
                    environ) != 0) {
        return std::nullopt;
    }
    return service;
}

// True while the service that `state` names runs; reaps it once it has ended.
bool service_running() {
    if (state.owner != getpid() || state.service <= 0) return false;
    int status = 0;
    return waitpid(state.service, &status, WNOHANG) == 0;
}

// The running service is `program` as it is now: a service started before the program was
// installed anew declines every worker of the new build, and is replaced.
bool service_is(const std::string& program) {
    char running[PATH_MAX];
    char wanted[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(state.service) + "/exe";
    const ssize_t length = readlink(link.c_str(), running, sizeof running - 1);
    if (length <= 0 || realpath(program.c_str(), wanted) == nullptr) return true;  // cannot tell
    return std::string_view(running, static_cast<std::size_t>(length)) == wanted;
}

void stop_service() {
    kill(state.service, SIGKILL);
    int status = 0;
    while (waitpid(state.service, &status, 0) < 0 && errno == EINTR) {
    }
    state.service = 0;
}

}  // namespace

std::optional<std::string> decoder_program(const std::string& folder) {
    if (folder.empty()) return std::nullopt;
    std::string program = folder;
    program.push_back('/');
    program.append(names::kDecoderProgram);
    if (!executable(program)) return std::nullopt;
    return program;
}

void ensure_decoder_service(const std::string& folder) noexcept {
    const std::optional<std::string> program = decoder_program(folder);
    if (!program) return;
    if (service_running()) {
        if (service_is(*program)) return;
        stop_service();
    }
    state = ServiceState{getpid(), 0};
    const Descriptor listening = listen_for_workers();
    if (!listening) return;
    // Once started, the service holds the only copy of the socket: it alone answers.
    if (const std::optional<pid_t> service = start_service(*program, listening.get())) {
        state.service = *service;
    }
}

}  // namespace lorvex::engine
