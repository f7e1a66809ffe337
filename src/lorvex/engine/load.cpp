#include "lorvex/engine/load.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "lorvex/engine/load_messages.hpp"
#include "lorvex/engine/share_plan.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/decoding_threads.hpp"

namespace lorvex::engine {
namespace {

using decoder_service::Reply;
using decoder_session::Report;

// How much decoded video a stream's decoders may hold ahead of its reader.
constexpr std::size_t kStreamAheadBytes = std::size_t{1} << 30;

std::size_t checked_size(std::size_t rows, std::size_t row_bytes) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, row_bytes, &bytes)) {
        throw std::length_error("the frames asked for take more memory than can be addressed");
    }
    return bytes;
}

std::string text_of(const Reply::Kind kind, std::int32_t value) {
    if (kind == Reply::Kind::killed) return "was killed by signal " + std::to_string(value);
    return "exited with status " + std::to_string(value);
}

}  // namespace

// ---- starting ------------------------------------------------------------------------------

Load::Load(std::shared_ptr<DecoderPool> pool, LoadRequest request)
    : pool_(std::move(pool)),
      owner_(getpid()),
      request_(std::move(request)),
      row_bytes_(request_.format.row_bytes(request_.height, request_.width)),
      memory_(std::make_shared<FrameMemory>(checked_size(request_.frames.size(), row_bytes_))),
      written_(request_.frames.size()),
      last_row_(Clock::now()) {
    if (!pool_->has_table()) throw std::logic_error("a load before the video's frame table");
    const FrameTable& table = pool_->table();
    const std::vector<Share> shares =
        request_.stream ? stream_shares(table, request_.frames, request_.stream->chunk)
                        : balanced_shares(table, request_.frames, request_.decoders);
    // A stream's shares are dealt out in turn, so that the first rows come first.
    const std::size_t decoders =
        std::min<std::size_t>(shares.size(), static_cast<std::size_t>(request_.decoders));
    slots_.resize(decoders);
    for (std::size_t share = 0; share < shares.size(); ++share) {
        slots_[share % decoders].shares.push_back(share);
    }
    std::vector<std::int64_t> first_frames;
    for (const Slot& slot : slots_)
        first_frames.push_back(request_.frames[shares[slot.shares[0]].first]);
    std::vector<DecoderHandle> taken = pool_->take(first_frames);
    for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].decoder = std::move(taken[i]);

    const std::int64_t rows = static_cast<std::int64_t>(request_.frames.size());
    ahead_ = rows;
    if (request_.stream && request_.stream->in_row_order) {
        std::size_t widest = 0;
        for (const Share& share : shares) widest = std::max(widest, share.end - share.first);
        const std::size_t chunk = request_.stream->chunk;
        const std::size_t wanted = chunk + decoders * widest;
        const std::size_t budget =
            std::max(2 * chunk, kStreamAheadBytes / std::max<std::size_t>(row_bytes_, 1));
        ahead_ = static_cast<std::int64_t>(std::min(wanted, budget));
    }
    allowed_ = allowance();

    std::int64_t total_cost = 0;
    for (const Share& share : shares) total_cost += share.cost;
    for (Slot& slot : slots_) {
        decoder_session::Job job;
        job.height = request_.height;
        job.width = request_.width;
        job.format = request_.format;
        job.interpolation = request_.interpolation;
        job.row_count = rows;
        job.rows_allowed = allowed_;
        std::int64_t cost = 0;
        for (const std::size_t share : slot.shares) {
            cost += shares[share].cost;
            slot.rows += static_cast<std::int64_t>(shares[share].end - shares[share].first);
            for (std::size_t row = shares[share].first; row < shares[share].end; ++row) {
                job.frames.push_back({request_.frames[row], static_cast<std::int64_t>(row)});
            }
        }
        // A load that does not go on where its decoder stands drains it after its last frame:
        // the frame comes without the packets after it, and the next load seeks anyway.
        job.drain = !pool_->continues(*slot.decoder, job.frames.front().frame_index);
        // A stream's rows are read as they come: each decoder keeps a thread per core, so
        // that the one holding the rows wanted next is not held to its share.
        job.threads = decoding_threads(
            request_.stream || total_cost <= 0 ? 1.0 : static_cast<double>(cost) / total_cost);
        // A decoder that is gone says so in the messages the wait reads.
        (void)slot.decoder->send_job(job, memory_->descriptor());
    }
    memory_->close_descriptor();
}

Load::~Load() {
    await_job_ends();
    for (Slot& slot : slots_) {
        if (slot.done && !slot.failure && !slot.ended && owner_ == getpid()) {
            pool_->give_back(std::move(slot.decoder));
        }
    }
}

// A decoder reports its job's end right after its last row: where the rows are all in, its end
// is on its way, and a decoder that is waited for here stays warm for the next load.
void Load::await_job_ends() noexcept {
    if (owner_ != getpid()) return;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < deadline) {
        std::vector<pollfd> watched;
        std::vector<Slot*> finishing;
        for (Slot& slot : slots_) {
            if (slot.done || slot.ended || slot.failure || slot.rows_written < slot.rows) continue;
            watched.push_back({slot.decoder->socket(), POLLIN, 0});
            finishing.push_back(&slot);
        }
        if (watched.empty()) return;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(watched.data(), watched.size(), static_cast<int>(left.count())) <= 0) return;
        try {
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if (watched[i].revents != 0) read_from(*finishing[i]);
            }
        } catch (...) {
            return;  // without its end, the decoder is simply not kept
        }
    }
}

void Load::abandon() noexcept {
    for (Slot& slot : slots_) {
        if (!slot.done) {
            slot.decoder.reset();
            slot.ended = true;
        }
    }
}

// ---- waiting ------------------------------------------------------------------------------

bool Load::rows_ready(std::int64_t low, std::int64_t high) const {
    if (written_count_ == static_cast<std::int64_t>(written_.size())) return true;
    for (std::int64_t row = low; row < high; ++row) {
        if (!written_[static_cast<std::size_t>(row)]) return false;
    }
    return true;
}

bool Load::any_failed() const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [](const Slot& slot) { return slot.failure.has_value(); });
}

WaitEnd Load::wait(std::int64_t low, std::int64_t high, const Deadline& deadline,
                   Clock::duration step) {
    low = std::clamp<std::int64_t>(low, 0, static_cast<std::int64_t>(written_.size()));
    high = std::clamp<std::int64_t>(high, low, static_cast<std::int64_t>(written_.size()));
    const Clock::time_point step_end = Clock::now() + step;
    while (true) {
        if (rows_ready(low, high)) return WaitEnd::ready;
        if (any_failed()) return WaitEnd::failed;
        std::vector<pollfd> watched;
        std::vector<Slot*> watched_slots;
        for (Slot& slot : slots_) {
            if (slot.ended || slot.done) continue;
            watched.push_back({slot.decoder->socket(), POLLIN, 0});
            watched_slots.push_back(&slot);
        }
        if (watched.empty()) {
            // Every decoder has finished, yet rows are missing: none of them delivered it.
            slots_.front().failure = Failure{"finished without writing every row it was given"};
            return WaitEnd::failed;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point until = step_end;
        if (deadline.seconds) {
            const Clock::time_point from = deadline.restarts_with_each_row
                                               ? std::max(deadline.since, last_row_)
                                               : deadline.since;
            const Clock::time_point due =
                from + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(*deadline.seconds));
            if (now >= due) return WaitEnd::overdue;
            until = std::min(until, due);
        }
        if (now >= until) return WaitEnd::pending;
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        const int ready = poll(watched.data(), watched.size(), static_cast<int>(milliseconds));
        if (ready < 0) {
            if (errno == EINTR) return WaitEnd::pending;  // a signal: the caller looks at it
            throw std::runtime_error("Could not wait for the decoders: " +
                                     std::string(std::strerror(errno)));
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents != 0) read_from(*watched_slots[i]);
        }
    }
}

void Load::read_from(Slot& slot) {
    std::vector<decoder_session::Message> messages;
    bool open = true;
    try {
        open = slot.decoder->read(messages);
    } catch (const std::invalid_argument& refused) {
        slot.failure = Failure{refused.what()};
        open = false;
    }
    for (const decoder_session::Message& message : messages) absorb(slot, message);
    if (!open) {
        slot.ended = true;
        if (!slot.done && !slot.failure) slot.failure = Failure{"ended without a word"};
    }
}

void Load::absorb(Slot& slot, const decoder_session::Message& message) {
    const auto unexpected = [&] {
        if (!slot.failure) slot.failure = Failure{"sent a message that is not a decoder's"};
    };
    switch (message.kind) {
        case static_cast<std::int32_t>(Reply::Kind::accepted):
            slot.decoder->set_pid(static_cast<pid_t>(message.value));
            return;
        case static_cast<std::int32_t>(Reply::Kind::declined):
            if (!slot.failure) {
                slot.failure = Failure{
                    "was declined by the decoder service (lorvex installed "
                    "anew while this process ran?)"};
            }
            return;
        case static_cast<std::int32_t>(Reply::Kind::exited):
        case static_cast<std::int32_t>(Reply::Kind::killed): {
            slot.ended = true;
            // A decoder that said why it failed has said enough; one that ended after its job
            // took nothing from this load.
            if (!slot.failure && !slot.done) {
                slot.failure = Failure{text_of(static_cast<Reply::Kind>(message.kind),
                                               static_cast<std::int32_t>(message.value))};
            }
            return;
        }
        case static_cast<std::int32_t>(Report::row_written): {
            if (message.value < 0 || message.value >= static_cast<std::int64_t>(written_.size())) {
                return unexpected();
            }
            std::uint8_t& written = written_[static_cast<std::size_t>(message.value)];
            if (!written) {
                written = 1;
                ++written_count_;
                ++slot.rows_written;
                last_row_ = Clock::now();
            }
            return;
        }
        case static_cast<std::int32_t>(Report::job_done):
            slot.done = true;
            slot.decoder->set_reached(message.value);
            return;
        case static_cast<std::int32_t>(Report::job_failed):
            slot.failure = message.text.empty() ? Failure{"failed without a reason"}
                                                : Failure{message.text, true};
            return;
        default:
            return unexpected();
    }
}

// ---- a stream's reader --------------------------------------------------------------------

std::int64_t Load::allowance() const {
    const std::int64_t rows = static_cast<std::int64_t>(written_.size());
    return taken_ >= rows - ahead_ ? rows : taken_ + ahead_;
}

void Load::taken_up_to(std::int64_t rows) {
    taken_ = std::max(taken_, rows);
    const std::int64_t allowed = allowance();
    if (allowed <= allowed_) return;
    allowed_ = allowed;
    for (Slot& slot : slots_) {
        if (!slot.done && !slot.ended) (void)slot.decoder->allow(allowed_);
    }
}

// ---- what to say --------------------------------------------------------------------------

std::string Load::decoder_name(std::size_t slot) const {
    std::string name = "decoder " + std::to_string(slot);
    if (slots_[slot].decoder && slots_[slot].decoder->pid()) {
        name += " (pid " + std::to_string(*slots_[slot].decoder->pid()) + ")";
    }
    return name;
}

std::string Load::failure() const {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].failure) continue;
        const Failure& failure = *slots_[i].failure;
        parts.push_back(failure.in_its_words ? "decoder " + std::to_string(i) + ": " + failure.text
                                             : decoder_name(i) + " " + failure.text);
    }
    return "decoding failed: " + joined(parts, ", ");
}

std::string Load::shortfall() const {
    std::vector<std::int64_t> missing;
    for (std::size_t row = 0; row < written_.size(); ++row) {
        if (!written_[row]) missing.push_back(request_.frames[row]);
    }
    std::vector<std::string> working;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].done && !slots_[i].ended) working.push_back(decoder_name(i));
    }
    return "frames still missing: " + runs_of(missing) +
           "; decoders not finished: " + (working.empty() ? "none" : joined(working, ", "));
}

}  // namespace lorvex::engine
