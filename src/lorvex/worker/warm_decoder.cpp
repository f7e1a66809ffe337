#include "lorvex/worker/warm_decoder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <exception>
#include <new>
#include <optional>
#include <vector>

#include "lorvex/media/remote_input.hpp"
#include "lorvex/protocol/decoder_session.hpp"
#include "lorvex/protocol/decoding_threads.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/positioned_write.hpp"
#include "lorvex/worker/decoding_session.hpp"
#include "lorvex/worker/interpolation.hpp"
#include "lorvex/worker/parent_watch.hpp"
#include "lorvex/worker/row_writer.hpp"

namespace lorvex {
namespace {

using decoder_session::Instruction;
using decoder_session::Job;
using decoder_session::Report;

// Read by the watch of the engine (parent_watch.hpp).
std::atomic<bool> job_running{false};

// The service hands a decoder only the descriptors its engine sent: the standard streams may
// be closed, and a memory file received into one of their numbers would take a stray write
// meant for stderr.
void occupy_standard_streams() {
    for (int stream = 0; stream < 3; ++stream) {
        if (fcntl(stream, F_GETFD) >= 0) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != stream) {
            dup2(opened, stream);
            close(opened);
        }
    }
}

// The descriptor of a channel argument ("channel=<number>"); throws for anything else.
int channel_descriptor(std::string_view argument) {
    if (!argument.starts_with(names::kChannelArgument)) {
        throw std::invalid_argument("the decoder is started by lorvex's engine, not by hand");
    }
    argument.remove_prefix(names::kChannelArgument.size());
    int descriptor = -1;
    const auto [end, error] =
        std::from_chars(argument.data(), argument.data() + argument.size(), descriptor);
    if (error != std::errc() || end != argument.data() + argument.size() || descriptor < 3) {
        throw std::invalid_argument("the decoder is started by lorvex's engine, not by hand");
    }
    return descriptor;
}

// How the rows of a job are made: kept from one job to the next while the size, layout and
// interpolation stay the same (a scaler's set-up is not free).
class RowWriters {
  public:
    RowWriter& for_job(const Job& job) {
        if (!writer_ || job.width != width_ || job.height != height_ || job.format != format_ ||
            job.interpolation != interpolation_) {
            writer_.emplace(job.width, job.height, interpolation_flags(job.interpolation),
                            job.format);
            width_ = job.width;
            height_ = job.height;
            format_ = job.format;
            interpolation_ = job.interpolation;
        }
        return *writer_;
    }

  private:
    std::optional<RowWriter> writer_;
    int width_ = 0;
    int height_ = 0;
    FrameFormat format_;
    std::string interpolation_;
};

class WarmDecoder {
  public:
    // Opens the video at once, while the caller probes it: the table comes after. A file that
    // will not open is said once the table has come: a file changed since the probe says so
    // first.
    WarmDecoder(int connection, const std::string& path)
        : connection_(connection), source_{path, {}}, watch_(path) {
        try {
            opened_.emplace(source_, usable_cores());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            open_failure_ = std::current_exception();
        }
    }

    // The table, then jobs until the engine hangs up between them.
    void serve() {
        while (std::optional<Instruction> instruction =
                   decoder_session::receive_instruction(connection_)) {
            if (instruction->table) {
                take_table(instruction->table.get());
                continue;
            }
            // An allowance that arrives after its job ended has nothing left to allow.
            if (!instruction->job) continue;
            if (!session_) throw std::invalid_argument("a job came before the frame table");
            job_running = true;
            run(*instruction->job, instruction->output.get(), instruction->rows_allowed);
            job_running = false;
        }
    }

  private:
    void take_table(int table) {
        if (session_) throw std::invalid_argument("a second frame table came");
        IdentifiedTable identified;
        try {
            identified = decode_frame_table(read_inherited_file(table));
        } catch (const std::invalid_argument& refused) {
            throw std::runtime_error(refused.what());
        }
        // The file as it was opened, and as it is now, must be the one the table was made of.
        if (watch_.found() != std::optional<FileIdentity>(identified.file) || watch_.changed()) {
            throw DecodeError(source_.path + ": the file changed after it was probed");
        }
        if (open_failure_) std::rethrow_exception(open_failure_);
        session_.emplace(source_, watch_, std::move(identified), std::move(*opened_));
        opened_.reset();
    }

    void run(const Job& job, int output, std::int64_t rows_allowed) {
        // The session's table is the probe's: a file changed since is another video.
        if (session_->watch().changed()) {
            throw DecodeError(session_->path() + ": the file changed after it was probed");
        }
        RowWriter& writer = writers_.for_job(job);
        const std::size_t row_bytes = writer.row_bytes();
        if (buffer_.size() < row_bytes) buffer_.resize(row_bytes);
        allowed_ = rows_allowed;
        session_->deliver(
            job.frames, job.threads,
            [&](const AVFrame& picture, const OwnedFrame& frame) {
                try {
                    writer.write(picture, buffer_.data());
                } catch (const std::runtime_error& error) {
                    throw DecodeError(session_->path() + ": frame " +
                                      std::to_string(frame.frame_index) + ": " + error.what());
                }
                wait_for_allowance(frame.row);
                write_at(output, static_cast<off_t>(frame.row) * static_cast<off_t>(row_bytes),
                         buffer_.data(), row_bytes, "the frames' memory");
                session_->watch().require_unchanged();
                report(Report::row_written, frame.row);
            },
            job.drain ? DecodingSession::Ending::drain : DecodingSession::Ending::keep_place);
        report(Report::job_done, job.frames.empty() ? -1 : job.frames.back().frame_index);
    }

    // Holds a decoded row until the engine lets it be written: a stream's reader has not
    // come that far.
    void wait_for_allowance(std::int64_t row) {
        while (row >= allowed_) {
            std::optional<Instruction> more = decoder_session::receive_instruction(connection_);
            if (!more) engine_gone();
            if (!more->job && !more->table) {
                allowed_ = more->rows_allowed;
                continue;
            }
            throw std::invalid_argument("an instruction came while a job ran");
        }
    }

    void report(Report kind, std::int64_t value) {
        if (!decoder_session::send_report(connection_, kind, value)) engine_gone();
    }

    [[noreturn]] static void engine_gone() { _exit(1); }

    int connection_;
    VideoSource source_;
    FileWatch watch_;                     // the file as the decoder opened it
    std::optional<VideoDecoder> opened_;  // until the table comes
    std::exception_ptr open_failure_;
    std::optional<DecodingSession> session_;
    RowWriters writers_;
    std::vector<std::uint8_t> buffer_;  // one row on its way into the memory file
    std::int64_t allowed_ = 0;
};

}  // namespace

int run_warm_decoder(int connection, pid_t caller, const std::string& path,
                     std::string_view channel) noexcept {
    occupy_standard_streams();
    exit_when_engine_leaves(connection, caller, job_running);
    const char* failure = nullptr;
    try {
        if (!channel.empty())
            register_remote_channel(path, Descriptor(channel_descriptor(channel)));
        WarmDecoder(connection, path).serve();
        return 0;
    } catch (const std::bad_alloc&) {
        failure = "out of memory";
    } catch (const std::exception& error) {
        // The reason goes to the engine; the decoder is not used again.
        (void)decoder_session::send_failure(connection, error.what());
        return 1;
    } catch (...) {
        failure = "unknown error";
    }
    (void)decoder_session::send_failure(connection, failure);
    return 1;
}

}  // namespace lorvex
