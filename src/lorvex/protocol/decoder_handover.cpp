#include "lorvex/protocol/decoder_handover.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/open_descriptors.hpp"

namespace lorvex {
namespace {

using decoder_service::Reply;

// A connection to the service that this process's caller set up itself: the process that
// listens on the address is the caller, and of this user.
std::optional<Descriptor> connect_to_service() {
    const pid_t caller = getppid();
    if (caller <= 1) return std::nullopt;
    Descriptor connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection) return std::nullopt;
    const decoder_service::Address address = decoder_service::address_of(caller);
    int connected;
    do {
        connected = connect(connection.get(), reinterpret_cast<const sockaddr*>(&address.address),
                            address.length);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) return std::nullopt;
    const std::optional<ucred> listener = decoder_service::peer_of(connection.get());
    if (!listener || listener->pid != caller || listener->uid != getuid()) return std::nullopt;
    return connection;
}

[[noreturn]] void die_by(int signal_number) {
    // The decoder's crash is already the caller's to see; this process leaves no core of its own.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}

}  // namespace

std::optional<int> hand_over_to_service(const std::string& decoder, std::string_view mode, int argc,
                                        const char* const* argv) {
    // The whole request first: the service waits for it once connected.
    const Descriptor folder(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return std::nullopt;
    const std::optional<std::vector<int>> held = open_descriptors();
    if (!held) return std::nullopt;
    decoder_service::Request request;
    request.decoder = decoder;
    request.arguments.emplace_back(mode);
    for (int i = 1; i < argc; ++i) request.arguments.emplace_back(argv[i]);
    request.descriptors.push_back(folder.get());
    for (const int descriptor : *held) {
        if (descriptor == folder.get()) continue;  // it goes first, as the working folder
        request.descriptor_numbers.push_back(descriptor);
        request.descriptors.push_back(descriptor);
    }
    std::optional<Descriptor> connection = connect_to_service();
    if (!connection || !decoder_service::send_request(connection->get(), request)) {
        return std::nullopt;
    }

    // Until the decoder has accepted, nothing has been written: decoding here is still safe.
    std::optional<Reply> reply = decoder_service::receive_reply(connection->get());
    if (!reply || reply->kind != Reply::Kind::accepted) return std::nullopt;
    reply = decoder_service::receive_reply(connection->get());
    if (!reply) {
        throw std::runtime_error("the decoder service stopped before its decoder reported its end");
    }
    if (reply->kind == Reply::Kind::killed) die_by(reply->value);
    if (reply->kind != Reply::Kind::exited) {
        throw std::runtime_error("the decoder service sent an unexpected reply");
    }
    return reply->value;
}

}  // namespace lorvex
