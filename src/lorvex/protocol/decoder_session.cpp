#include "lorvex/protocol/decoder_session.hpp"

#include <climits>
#include <cstring>
#include <span>
#include <stdexcept>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/interpolation_names.hpp"
#include "lorvex/protocol/packed_fields.hpp"
#include "lorvex/protocol/socket_io.hpp"

namespace lorvex::decoder_session {
namespace {

constexpr std::string_view kJobMagic = "LVXJOB01";
constexpr std::uint32_t kInstructionMagic = 0x4c565849;  // "LVXI"
// A job of every frame of a long video is some megabytes; anything far beyond is not a job.
constexpr std::uint64_t kLongestJob = 1u << 30;
// A failing decoder's reason is one line.
constexpr std::int32_t kLongestReason = 64 * 1024;

enum class InstructionKind : std::uint32_t { job = 1, allowance = 2, table = 3 };

struct InstructionHeader {
    std::uint32_t magic;
    std::uint32_t kind;
    std::uint64_t value;  // a job's length, or the rows allowed
};

bool send_header(int socket, InstructionKind kind, std::uint64_t value) {
    const InstructionHeader header{kInstructionMagic, static_cast<std::uint32_t>(kind), value};
    return send_all(socket, reinterpret_cast<const char*>(&header), sizeof header);
}

std::int32_t checked_value(std::int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX) {
        throw std::out_of_range("a report's value is out of range");
    }
    return static_cast<std::int32_t>(value);
}

// The header of an instruction with `descriptor`, which travels with it.
bool send_with_descriptor(int socket, const InstructionHeader& header, int descriptor) {
    return send_with_descriptors(socket, reinterpret_cast<const char*>(&header), sizeof header,
                                 std::span<const int>(&descriptor, 1));
}

}  // namespace

// ---- jobs ---------------------------------------------------------------------------------

std::string encode_job(const Job& job) {
    FieldWriter out(kJobMagic);
    out.put(static_cast<std::uint64_t>(job.height), 4);
    out.put(static_cast<std::uint64_t>(job.width), 4);
    out.put_text(encode_frame_format(job.format));
    out.put_text(job.interpolation);
    out.put(static_cast<std::uint64_t>(job.threads), 4);
    out.put_signed(job.row_count);
    out.put_signed(job.rows_allowed);
    out.put(job.drain ? 1 : 0, 1);
    out.put(job.frames.size());
    for (const OwnedFrame& frame : job.frames) {
        out.put_signed(frame.frame_index);
        out.put_signed(frame.row);
    }
    return out.take();
}

Job decode_job(std::string_view bytes) {
    FieldReader reader(bytes, kJobMagic, "job");
    Job job;
    job.height = static_cast<int>(reader.take(4));
    job.width = static_cast<int>(reader.take(4));
    job.format = decode_frame_format(reader.take_text(64));
    job.interpolation = std::string(reader.take_text(64));
    job.threads = static_cast<int>(reader.take(4));
    job.row_count = reader.take_signed();
    job.rows_allowed = reader.take_signed();
    const std::uint64_t drain = reader.take(1);
    if (drain > 1) reader.refuse("a drain that is neither yes nor no");
    job.drain = drain == 1;
    const std::uint64_t count = reader.take_count(16);
    job.frames.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::int64_t frame = reader.take_signed();
        const std::int64_t row = reader.take_signed();
        job.frames.push_back({frame, row});
    }
    if (reader.left() != 0) reader.refuse("wrong length");
    if (job.height <= 0 || job.width <= 0) reader.refuse("an empty picture");
    if (job.threads <= 0 || job.threads > 1024) reader.refuse("a thread count out of range");
    try {
        require_interpolation_name(job.interpolation);
    } catch (const std::invalid_argument& unknown) {
        reader.refuse(unknown.what());
    }
    if (job.row_count < 0 || job.row_count > INT32_MAX) reader.refuse("a row count out of range");
    std::vector<bool> taken(static_cast<std::size_t>(job.row_count));
    for (std::size_t i = 0; i < job.frames.size(); ++i) {
        const OwnedFrame& frame = job.frames[i];
        if (frame.frame_index < 0 || frame.frame_index > INT32_MAX ||
            (i > 0 && frame.frame_index <= job.frames[i - 1].frame_index)) {
            reader.refuse("frames out of order");
        }
        if (frame.row < 0 || frame.row >= job.row_count ||
            taken[static_cast<std::size_t>(frame.row)]) {
            reader.refuse("a row outside the memory file, or given twice");
        }
        taken[static_cast<std::size_t>(frame.row)] = true;
    }
    return job;
}

// ---- engine -> decoder --------------------------------------------------------------------

bool send_job(int socket, const Job& job, int output) {
    const std::string payload = encode_job(job);
    const InstructionHeader header{
        kInstructionMagic, static_cast<std::uint32_t>(InstructionKind::job), payload.size()};
    return send_with_descriptor(socket, header, output) &&
           send_all(socket, payload.data(), payload.size());
}

bool send_table(int socket, int table) {
    return send_with_descriptor(
        socket, {kInstructionMagic, static_cast<std::uint32_t>(InstructionKind::table), 0}, table);
}

bool send_allowance(int socket, std::int64_t rows) {
    return send_header(socket, InstructionKind::allowance, static_cast<std::uint64_t>(rows));
}

std::optional<Instruction> receive_instruction(int socket) {
    InstructionHeader header{};
    auto* header_bytes = reinterpret_cast<char*>(&header);
    std::optional<ReceivedStart> start =
        receive_with_descriptors(socket, header_bytes, sizeof header, 4);
    if (!start) return std::nullopt;
    Instruction instruction;
    std::vector<Descriptor>& received = start->descriptors;
    if (!receive_all(socket, header_bytes + start->size, sizeof header - start->size)) {
        return std::nullopt;
    }
    if (header.magic != kInstructionMagic || start->truncated) {
        throw std::invalid_argument("bad instruction: not one of the engine's");
    }
    if (header.kind == static_cast<std::uint32_t>(InstructionKind::table)) {
        if (received.size() != 1 || header.value != 0) {
            throw std::invalid_argument("bad instruction: a malformed table");
        }
        instruction.table = std::move(received.front());
        return instruction;
    }
    if (header.kind == static_cast<std::uint32_t>(InstructionKind::allowance)) {
        if (!received.empty() || header.value > INT32_MAX) {
            throw std::invalid_argument("bad instruction: a malformed allowance");
        }
        instruction.rows_allowed = static_cast<std::int64_t>(header.value);
        return instruction;
    }
    if (header.kind != static_cast<std::uint32_t>(InstructionKind::job) || received.size() != 1 ||
        header.value > kLongestJob) {
        throw std::invalid_argument("bad instruction: a malformed job");
    }
    std::string payload(header.value, '\0');
    if (!receive_all(socket, payload.data(), payload.size())) return std::nullopt;
    instruction.job = decode_job(payload);
    instruction.output = std::move(received.front());
    instruction.rows_allowed = instruction.job->rows_allowed;
    return instruction;
}

// ---- decoder -> engine --------------------------------------------------------------------

bool send_report(int socket, Report kind, std::int64_t value) {
    const decoder_service::ReplyMessage message{
        decoder_service::kReplyMagic, static_cast<std::int32_t>(kind), checked_value(value)};
    return send_all(socket, reinterpret_cast<const char*>(&message), sizeof message);
}

bool send_failure(int socket, std::string_view reason) {
    reason = reason.substr(0, static_cast<std::size_t>(kLongestReason));
    return send_report(socket, Report::job_failed, static_cast<std::int64_t>(reason.size())) &&
           send_all(socket, reason.data(), reason.size());
}

std::optional<Message> MessageReader::next() {
    decoder_service::ReplyMessage header{};
    if (pending_.size() < sizeof header) return std::nullopt;
    std::memcpy(&header, pending_.data(), sizeof header);
    if (header.magic != decoder_service::kReplyMagic) {
        throw std::invalid_argument("bad report: not one of a decoder's");
    }
    Message message{header.kind, header.value, {}};
    std::size_t length = sizeof header;
    if (header.kind == static_cast<std::int32_t>(Report::job_failed)) {
        if (header.value < 0 || header.value > kLongestReason) {
            throw std::invalid_argument("bad report: a reason out of range");
        }
        if (pending_.size() < length + static_cast<std::size_t>(header.value)) return std::nullopt;
        message.text = pending_.substr(length, static_cast<std::size_t>(header.value));
        length += static_cast<std::size_t>(header.value);
    }
    pending_.erase(0, length);
    return message;
}

}  // namespace lorvex::decoder_session
