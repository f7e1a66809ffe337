#include "lorvex/engine/warm_decoders.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "lorvex/engine/decoder_service_start.hpp"
#include "lorvex/engine/share_plan.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/names.hpp"

namespace lorvex::engine {
namespace {

// A connection to this process's own decoder service; nothing when none listens.
Descriptor connect_to_service() {
    Descriptor connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection) return connection;
    const decoder_service::Address address = decoder_service::address_of(getpid());
    int connected;
    do {
        connected = connect(connection.get(), reinterpret_cast<const sockaddr*>(&address.address),
                            address.length);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) return Descriptor();
    return connection;
}

}  // namespace

// ---- one decoder --------------------------------------------------------------------------

DecoderConnection::DecoderConnection(const WarmRequest& request) {
    const std::optional<std::string> program = decoder_program(request.folder);
    if (!program) {
        throw std::runtime_error(
            "Could not find lorvex's decoder program in " +
            (request.folder.empty() ? std::string("the package") : request.folder) +
            ": is lorvex installed whole?");
    }
    ensure_decoder_service(request.folder);
    connection_ = connect_to_service();
    if (!connection_) {
        // Ended since it was last seen (killed, say): another is started.
        ensure_decoder_service(request.folder);
        connection_ = connect_to_service();
    }
    if (!connection_) {
        throw std::runtime_error(std::string("Could not reach lorvex's decoder service: ") +
                                 std::strerror(errno));
    }
    const Descriptor folder(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        throw std::runtime_error(std::string("Could not open the working folder: ") +
                                 std::strerror(errno));
    }
    decoder_service::Request warm;
    warm.decoder = *program;
    warm.arguments = {std::string(names::kWarmMode), request.video_path};
    warm.descriptors.push_back(folder.get());
    for (const int descriptor : request.descriptors) {
        warm.descriptor_numbers.push_back(descriptor);
        warm.descriptors.push_back(descriptor);
    }
    // The decoder's own channel; the end kept here goes once the request has gone.
    const Descriptor channel = request.open_channel ? request.open_channel() : Descriptor();
    if (channel) {
        warm.arguments.push_back(std::string(names::kChannelArgument) +
                                 std::to_string(channel.get()));
        warm.descriptor_numbers.push_back(channel.get());
        warm.descriptors.push_back(channel.get());
    }
    if (!decoder_service::send_request(connection_.get(), warm)) {
        throw std::runtime_error(
            "Could not ask lorvex's decoder service for a decoder: it hung up");
    }
}

bool DecoderConnection::still_there() {
    std::vector<decoder_session::Message> messages;
    try {
        if (!read(messages)) return false;
    } catch (const std::invalid_argument&) {
        return false;
    }
    for (const decoder_session::Message& message : messages) {
        if (message.kind != static_cast<std::int32_t>(decoder_service::Reply::Kind::accepted)) {
            return false;
        }
        set_pid(static_cast<pid_t>(message.value));
    }
    return true;
}

bool DecoderConnection::send_table(const std::string& encoded) {
    if (table_sent_) return true;
    // The decoder's own copy; none is kept here.
    const Descriptor table = new_memory_file(names::kFrameTableFileName, encoded);
    table_sent_ = decoder_session::send_table(connection_.get(), table.get());
    return table_sent_;
}

bool DecoderConnection::send_job(const decoder_session::Job& job, int output) const {
    return decoder_session::send_job(connection_.get(), job, output);
}

bool DecoderConnection::allow(std::int64_t rows) const {
    return decoder_session::send_allowance(connection_.get(), rows);
}

bool DecoderConnection::read(std::vector<decoder_session::Message>& messages) {
    char bytes[4096];
    while (true) {
        const ssize_t got = recv(connection_.get(), bytes, sizeof bytes, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) {
            while (std::optional<decoder_session::Message> message = reader_.next()) {
                messages.push_back(std::move(*message));
            }
            return false;
        }
        reader_.add(std::string_view(bytes, static_cast<std::size_t>(got)));
        while (std::optional<decoder_session::Message> message = reader_.next()) {
            messages.push_back(std::move(*message));
        }
    }
    return true;
}

// ---- the pool -----------------------------------------------------------------------------

DecoderPool::DecoderPool(WarmRequest request, std::size_t keep)
    : request_(std::move(request)), keep_(keep), owner_(getpid()) {}

void DecoderPool::start_one() {
    if (!identify_file(request_.video_path)) return;
    auto decoder = std::make_unique<DecoderConnection>(request_);
    const std::lock_guard<std::mutex> hold(lock_);
    idle_.push_back(std::move(decoder));
}

void DecoderPool::set_table(std::shared_ptr<const ProbedTable> table) {
    table_ = std::move(table);
}

void DecoderPool::forget_if_forked() {
    if (owner_ == getpid()) return;
    idle_.clear();
    owner_ = getpid();
}

void DecoderPool::forget_the_gone() {
    std::erase_if(idle_, [](const DecoderHandle& decoder) { return !decoder->still_there(); });
}

bool DecoderPool::continues(const DecoderConnection& decoder, std::int64_t frame) const {
    const std::optional<std::size_t> keyframe = table().start_keyframe(frame);
    const std::int64_t start = keyframe ? table().keyframes[*keyframe].first_rank : 0;
    const std::int64_t reached = decoder.reached();
    return reached >= 0 && reached < frame && start - reached - 1 <= kSeekCost;
}

std::vector<DecoderHandle> DecoderPool::take(const std::vector<std::int64_t>& first_frames) {
    std::vector<DecoderHandle> taken(first_frames.size());
    {
        const std::lock_guard<std::mutex> hold(lock_);
        forget_if_forked();
        // A decoder that died while idle (killed, out of memory) is replaced now.
        forget_the_gone();
        // A share that goes on where an idle decoder stands goes to that decoder.
        for (std::size_t share = 0; share < first_frames.size() && !idle_.empty(); ++share) {
            const auto going_on = std::find_if(idle_.begin(), idle_.end(), [&](const auto& idle) {
                return continues(*idle, first_frames[share]);
            });
            if (going_on != idle_.end()) {
                taken[share] = std::move(*going_on);
                idle_.erase(going_on);
            }
        }
        for (DecoderHandle& decoder : taken) {
            if (!decoder && !idle_.empty()) {
                decoder = std::move(idle_.back());
                idle_.pop_back();
            }
        }
    }
    for (DecoderHandle& decoder : taken) {
        if (!decoder) decoder = std::make_unique<DecoderConnection>(request_);
        // A decoder that is gone says so in the messages its load reads.
        (void)decoder->send_table(table_->encoded);
    }
    return taken;
}

void DecoderPool::give_back(DecoderHandle decoder) {
    const std::lock_guard<std::mutex> hold(lock_);
    forget_if_forked();
    if (idle_.size() < keep_) idle_.push_back(std::move(decoder));
}

void DecoderPool::close() {
    const std::lock_guard<std::mutex> hold(lock_);
    idle_.clear();
}

}  // namespace lorvex::engine
