#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/socket_io.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace lorvex::decoder_service {
namespace {

constexpr std::uint32_t kRequestMagic = 0x4c565852;  // "LVXR"
// A command line of fourteen items, each at most 128 KiB, and a path.
constexpr std::uint32_t kLongestPayload = 4u << 20;

struct RequestHeader {
    std::uint32_t magic;
    std::uint32_t descriptor_count;  // the working folder not counted
    std::uint32_t payload_size;
};

void put_number(std::string& out, std::int32_t value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

Address address_of(pid_t caller) {
    Address result;
    result.address.sun_family = AF_UNIX;
    // Abstract: the first byte of the path is NUL, and the name is only the bytes given.
    const std::string name = std::string(names::kDecoderServicePrefix) + std::to_string(caller);
    std::memcpy(result.address.sun_path + 1, name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

bool send_request(int socket, const Request& request) {
    if (request.descriptors.size() != request.descriptor_numbers.size() + 1 ||
        request.descriptors.size() > kMostDescriptors + 1) {
        return false;
    }
    std::string message_bytes(sizeof(RequestHeader), '\0');
    for (const int number : request.descriptor_numbers) put_number(message_bytes, number);
    message_bytes.append(request.decoder).push_back('\0');
    for (const std::string& argument : request.arguments) {
        message_bytes.append(argument).push_back('\0');
    }
    const std::size_t payload_size = message_bytes.size() - sizeof(RequestHeader);
    if (payload_size > kLongestPayload) return false;
    const RequestHeader header{kRequestMagic,
                               static_cast<std::uint32_t>(request.descriptor_numbers.size()),
                               static_cast<std::uint32_t>(payload_size)};
    std::memcpy(message_bytes.data(), &header, sizeof header);

    // One message, so that the start of the request (up to the video's name) arrives with the
    // descriptors, where the service can look at it before the decoder takes it.
    return send_with_descriptors(socket, message_bytes.data(), message_bytes.size(),
                                 request.descriptors);
}

RequestStart peek_request_start(int socket) {
    // Far more than the header, the descriptors' numbers and three names take.
    std::string bytes(64 * 1024, '\0');
    ssize_t got;
    do {
        got = recv(socket, bytes.data(), bytes.size(), MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return {RequestStart::State::waiting, {}, {}};
    if (got <= 0) return {RequestStart::State::refused, {}, {}};
    bytes.resize(static_cast<std::size_t>(got));
    const auto waiting_or_refused = [&](std::size_t needed) {
        return RequestStart{
            needed > bytes.size() ? RequestStart::State::waiting : RequestStart::State::refused,
            {},
            {}};
    };
    RequestHeader header{};
    if (bytes.size() < sizeof header) return waiting_or_refused(sizeof header + 1);
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.magic != kRequestMagic || header.descriptor_count > kMostDescriptors ||
        header.payload_size > kLongestPayload) {
        return {RequestStart::State::refused, {}, {}};
    }
    const std::size_t end = sizeof header + header.payload_size;
    std::string_view texts(bytes);
    texts = texts.substr(0, std::min(end, bytes.size()));
    const std::size_t numbers = sizeof header + sizeof(std::int32_t) * header.descriptor_count;
    if (texts.size() < numbers) return waiting_or_refused(end);
    texts.remove_prefix(numbers);
    // The decoder, the mode, then the video's name.
    std::string_view items[3];
    for (std::string_view& item : items) {
        const std::size_t stop = texts.find('\0');
        if (stop == std::string_view::npos) return waiting_or_refused(end);
        item = texts.substr(0, stop);
        texts.remove_prefix(stop + 1);
    }
    return {RequestStart::State::ready, std::string(items[1]), std::string(items[2])};
}

std::optional<Request> receive_request(int socket) {
    RequestHeader header{};
    auto* header_bytes = reinterpret_cast<char*>(&header);
    std::optional<ReceivedStart> start =
        receive_with_descriptors(socket, header_bytes, sizeof header, kMostDescriptors + 1);
    if (!start || start->truncated ||
        !receive_all(socket, header_bytes + start->size, sizeof header - start->size) ||
        header.magic != kRequestMagic || header.descriptor_count > kMostDescriptors ||
        start->descriptors.size() != header.descriptor_count + 1 ||
        header.payload_size > kLongestPayload) {
        return std::nullopt;
    }
    std::string payload(header.payload_size, '\0');
    const std::size_t numbers_size = sizeof(std::int32_t) * header.descriptor_count;
    if (!receive_all(socket, payload.data(), payload.size()) || payload.size() < numbers_size ||
        payload.back() != '\0') {
        return std::nullopt;
    }
    Request request;
    for (std::size_t i = 0; i < header.descriptor_count; ++i) {
        std::int32_t number = 0;
        std::memcpy(&number, payload.data() + i * sizeof number, sizeof number);
        if (number < 0) return std::nullopt;
        request.descriptor_numbers.push_back(number);
    }
    std::string_view texts(payload);
    texts.remove_prefix(numbers_size);
    bool decoder = true;
    while (!texts.empty()) {
        const std::size_t end = texts.find('\0');
        std::string text(texts.substr(0, end));
        texts.remove_prefix(end + 1);
        if (decoder) {
            request.decoder = std::move(text);
            decoder = false;
        } else {
            request.arguments.push_back(std::move(text));
        }
    }
    if (decoder) return std::nullopt;
    // The caller owns them from here.
    for (Descriptor& descriptor : start->descriptors) {
        request.descriptors.push_back(descriptor.release());
    }
    return request;
}

void send_reply(int socket, const Reply& reply) noexcept {
    const ReplyMessage message{kReplyMagic, static_cast<std::int32_t>(reply.kind), reply.value};
    // Twelve bytes fit any socket buffer: a worker that stopped reading cannot block this.
    (void)send_all(socket, reinterpret_cast<const char*>(&message), sizeof message);
}

std::optional<Reply> receive_reply(int socket) {
    ReplyMessage message{};
    if (!receive_all(socket, reinterpret_cast<char*>(&message), sizeof message) ||
        message.magic != kReplyMagic ||
        message.kind < static_cast<std::int32_t>(Reply::Kind::accepted) ||
        message.kind > static_cast<std::int32_t>(Reply::Kind::killed)) {
        return std::nullopt;
    }
    return Reply{static_cast<Reply::Kind>(message.kind), message.value};
}

std::optional<ucred> peer_of(int socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return std::nullopt;
    return credentials;
}

}  // namespace lorvex::decoder_service
