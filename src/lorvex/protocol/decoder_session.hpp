// A warm decoder: a decoder that the decoder service forks for lorvex's own engine (the mode
// names::kWarmMode) and that stays while its video is open, with the file open, the codec
// ready and its place in the video known, taking one job after another over the connection
// that started it (decoder_service_messages.hpp).
//
//   engine  -> decoder  first the video's frame table as the caller probed it (a memory file,
//                       its descriptor travelling with the instruction): the decoder opens the
//                       video while the caller probes it, and takes the table once it comes;
//                       then jobs: the frames to decode, the row each goes to, how rows are
//                       laid out, and the memory file the rows are written into; while a job
//                       runs, how many rows may be written so far (a stream's reader decides
//                       how far ahead decoding goes);
//   decoder -> engine   each row once it is written, then the job's end: the rank of the last
//                       picture it decoded, or its reason for failing (and it ends).
// The service's own replies (accepted, then how the decoder ended) come on the same connection
// in the same shape, so a decoder that dies without a word is still reported.
//
// Nothing here needs FFmpeg or Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/frame_format.hpp"
#include "lorvex/protocol/owned_frames.hpp"

namespace lorvex::decoder_session {

struct Job {
    int height = 0;  // every row's picture, after turning
    int width = 0;
    FrameFormat format;
    std::string interpolation;      // an interpolation name (interpolation_names.hpp)
    int threads = 1;                // decoding threads
    std::int64_t row_count = 0;     // rows of the memory file
    std::int64_t rows_allowed = 0;  // rows below this may be written from the start
    // After the last frame: drain the decoder rather than keep its place (a load that does
    // not go on where the last one ended: decoding_session.hpp).
    bool drain = false;
    std::vector<OwnedFrame> frames;  // by increasing frame index, each row at most once

    friend bool operator==(const Job&, const Job&) = default;
};

std::string encode_job(const Job& job);

// Accepts exactly what encode_job writes, and only jobs whose rows lie inside the memory
// file; throws std::invalid_argument otherwise.
Job decode_job(std::string_view bytes);

// ---- engine -> decoder --------------------------------------------------------------------

// Sends `job` with the memory file `output`; false when the decoder is gone.
bool send_job(int socket, const Job& job, int output);

// Lets the decoder write every row below `rows`; false when the decoder is gone.
bool send_allowance(int socket, std::int64_t rows);

// Hands the decoder the video's frame table, the memory file `table`; false when it is gone.
bool send_table(int socket, int table);

// What the decoder reads next: a job and its memory file, the frame table's memory file, or a
// new allowance.
struct Instruction {
    std::optional<Job> job;
    Descriptor output;  // with a job
    Descriptor table;   // the frame table
    std::int64_t rows_allowed = 0;
};

// Blocks for the next instruction; nothing once the engine has hung up. Throws
// std::invalid_argument for anything the engine does not send.
std::optional<Instruction> receive_instruction(int socket);

// ---- decoder -> engine --------------------------------------------------------------------

// The kinds of the decoder's reports, beside the service's replies (decoder_service_messages.hpp).
enum class Report : std::int32_t {
    row_written = 16,  // value: the row
    job_done = 17,     // value: the last frame it delivered
    job_failed = 18,   // value: the length of the reason that follows
};

// False when the engine is gone. Never raises SIGPIPE.
bool send_report(int socket, Report kind, std::int64_t value);
bool send_failure(int socket, std::string_view reason);

// What arrives on the engine's side of the connection, from the decoder or the service.
struct Message {
    std::int32_t kind = 0;  // a Report, or a decoder_service::Reply::Kind
    std::int64_t value = 0;
    std::string text;  // a failure's reason
};

// Cuts the bytes read from a connection into messages. A connection that sends anything else
// is refused (std::invalid_argument): it is not a decoder of this build.
class MessageReader {
  public:
    // Adds bytes as read; the messages they complete come out of next().
    void add(std::string_view bytes) { pending_.append(bytes); }
    std::optional<Message> next();

  private:
    std::string pending_;
};

}  // namespace lorvex::decoder_session
