// The decoder service: a process that the extensions start once per calling process, which
// has loaded FFmpeg already and forks one decoder per job. A worker program with frames to
// decode hands its job to the service of its caller instead of loading FFmpeg itself (over a
// hundred shared objects); one that cannot reach the service decodes by itself, as
// `lorvex_decoder`. The caller's own engine asks it for warm decoders the same way
// (decoder_session.hpp), its request naming the mode names::kWarmMode and the video.
//
// What passes between a worker and the service, over one connection per job:
//   worker -> service  a request: its command line, the decoder program it would start, its
//                      working folder and every descriptor it holds, each with its number;
//   service -> worker  "accepted" once the decoder has taken the job over, with the decoder's
//                      pid (or "declined", when the worker must decode by itself), then how
//                      the decoder ended.
// The worker then ends the same way (the same status, or the same signal), so that its caller
// sees what it would have seen of a decoder started by the worker itself.
//
// Nothing here needs FFmpeg: the worker programs' fronts use it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lorvex::decoder_service {

// The service is the decoder program started as "lorvex_decoder serve <caller's pid>"
// (names.hpp), listening on names::kListeningDescriptor, bound by its caller.

// A worker holds few descriptors (standard streams, the frame table, long command-line items);
// one with more decodes by itself.
inline constexpr std::size_t kMostDescriptors = 64;

// The abstract socket address of the service of the process `caller`: found by the workers
// from their parent's pid, gone with the socket (nothing on disk to clean up).
struct Address {
    sockaddr_un address{};
    socklen_t length = 0;
};
Address address_of(pid_t caller);

// A job as the worker hands it over.
struct Request {
    std::string decoder;                  // the decoder program the worker would start
    std::vector<std::string> arguments;   // the decoder's command line after its name
    std::vector<int> descriptor_numbers;  // the number each descriptor has in the worker
    std::vector<int> descriptors;         // here: working folder first, then one per number
};

// How a decoder ended, or what the service made of a request.
struct Reply {
    enum class Kind : std::int32_t { accepted = 1, declined = 2, exited = 3, killed = 4 };
    Kind kind = Kind::declined;
    std::int32_t value = 0;  // the exit status, or the signal
};

// A reply as it travels; a warm decoder's reports share its shape (decoder_session.hpp).
struct ReplyMessage {
    std::uint32_t magic;
    std::int32_t kind;
    std::int32_t value;
};
inline constexpr std::uint32_t kReplyMagic = 0x4c565841;  // "LVXA"

// Sends `request` over the connected socket; the descriptors travel with it. False when the
// service is gone or refuses the descriptors.
bool send_request(int socket, const Request& request);

// Reads one request; nothing when the peer hung up or sent something else. The received
// descriptors are owned by the caller.
std::optional<Request> receive_request(int socket);

// What the service looks at before it forks a decoder for a request, leaving the request on
// the connection for the decoder to read: the decoder's mode and the video's name, once that
// much has arrived.
// Never blocks.
struct RequestStart {
    enum class State { waiting, ready, refused };
    State state = State::waiting;
    std::string mode;        // the decoder's mode (names.hpp)
    std::string video_path;  // as the worker's command line names it
};
RequestStart peek_request_start(int socket);

// Best effort: a worker that is gone needs no reply. Never raises SIGPIPE.
void send_reply(int socket, const Reply& reply) noexcept;

// Blocks for the next reply; nothing when the connection ended without one.
std::optional<Reply> receive_reply(int socket);

// The pid and user of the process at the other end of a connected socket. For the worker's
// side that is the process that called listen(): the caller that bound the address.
std::optional<ucred> peer_of(int socket);

}  // namespace lorvex::decoder_service
