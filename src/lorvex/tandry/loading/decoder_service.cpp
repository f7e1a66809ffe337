#include "lorvex/tandry/loading/decoder_service.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "lorvex/core/decoder_service.hpp"
#include "lorvex/core/descriptor.hpp"
#include "lorvex/core/worker_program.hpp"

extern char** environ;

namespace lorvex::tandry {
namespace {

// One service per process, whatever loads it: every interpreter and module copy of this
// process shares it. Touched with the GIL held only.
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

// The decoder beside the worker program that subprocess finds along PATH, as the workers
// started next will be.
std::optional<std::string> decoder_program() {
    const char* search = std::getenv("PATH");
    if (search == nullptr) return std::nullopt;
    std::string_view folders(search);
    while (true) {
        const std::size_t colon = folders.find(':');
        const std::string_view named = folders.substr(0, colon);
        std::string folder(named.empty() ? std::string_view(".") : named);
        folder.push_back('/');
        std::string front = folder;
        front.append("lorvex");
        if (executable(front)) {
            folder.append(kDecoderProgram);
            if (executable(folder)) return folder;
            return std::nullopt;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        folders.remove_prefix(colon + 1);
    }
}

// A socket on this process's service address, listening; the address is taken before the
// service starts, so that no worker finds it missing in between.
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
    if (posix_spawn_file_actions_adddup2(&setup.actions, listening,
                                         decoder_service::kListeningDescriptor) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(&setup.actions,
                                                 decoder_service::kListeningDescriptor + 1) != 0) {
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
    const std::string mode(decoder_service::kServeMode);
    char* const arguments[] = {const_cast<char*>(kDecoderProgram.data()),
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

}  // namespace

void ensure_decoder_service() noexcept {
    if (service_running()) return;
    state = ServiceState{getpid(), 0};
    const std::optional<std::string> program = decoder_program();
    if (!program) return;
    const Descriptor listening = listen_for_workers();
    if (!listening) return;
    // Once started, the service holds the only copy of the socket: it alone answers.
    if (const std::optional<pid_t> service = start_service(*program, listening.get())) {
        state.service = *service;
    }
}

}  // namespace lorvex::tandry
