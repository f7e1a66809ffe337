// One load of lorvex's engine: the requested frames shared out among warm decoders that write
// each row once into the load's memory, and the one wait for them: rows written, decoders that
// fail or end, and the load's deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/engine/frame_memory.hpp"
#include "lorvex/engine/warm_decoders.hpp"
#include "lorvex/protocol/frame_format.hpp"

namespace lorvex::engine {

using Clock = std::chrono::steady_clock;

struct LoadRequest {
    std::vector<std::int64_t> frames;  // distinct, increasing, inside the table
    int height = 0;                    // of each row's picture, after turning
    int width = 0;
    FrameFormat format;
    std::string interpolation;
    int decoders = 1;  // at most this many at once

    // A stream hands its rows out while the decoders go on: its shares are small and dealt
    // out in turn, `chunk` rows at a time; read in the order of its rows, its decoders run
    // only so far ahead of the rows taken. Nothing: a one-shot load, its shares balanced,
    // every row written as soon as it can be.
    struct Stream {
        std::size_t chunk = 32;
        bool in_row_order = true;
    };
    std::optional<Stream> stream;
};

// How long a wait may last: `seconds` from `since` (a one-shot load's start), or, restarting
// with each row written, for that long without a new row (a stream); without `seconds`, for
// ever.
struct Deadline {
    std::optional<double> seconds;
    bool restarts_with_each_row = false;
    Clock::time_point since = Clock::now();
};

enum class WaitEnd {
    ready,    // the rows are written
    failed,   // a decoder failed: failure() says how
    overdue,  // the deadline passed
    pending,  // none of these yet: look at signals, then wait again
};

class Load {
  public:
    // Plans the load, takes decoders from `pool` and sends them their jobs.
    Load(std::shared_ptr<DecoderPool> pool, LoadRequest request);
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;
    // Decoders still working are closed (they end); idle ones go back to the pool.
    ~Load();

    const LoadRequest& request() const noexcept { return request_; }
    std::size_t row_bytes() const noexcept { return row_bytes_; }
    const std::shared_ptr<FrameMemory>& memory() const noexcept { return memory_; }

    // Waits for rows [low, high) for at most `step` (or until a signal interrupts the wait).
    WaitEnd wait(std::int64_t low, std::int64_t high, const Deadline& deadline,
                 Clock::duration step);

    // A stream's reader has taken every row below `rows`: the decoders may run that much
    // further ahead.
    void taken_up_to(std::int64_t rows);

    // Why the load failed: "decoding failed: decoder 0: <reason>, decoder 1 ...".
    std::string failure() const;
    // What the load lacks at its deadline: "frames still missing: 12-40; decoders not
    // finished: decoder 1 (pid 4711)".
    std::string shortfall() const;

    // Ends the load early: its working decoders are closed (they end), nothing more arrives.
    void abandon() noexcept;

  private:
    // Why a decoder failed: in its own words (which name the file and the frame), or as the
    // engine saw it end.
    struct Failure {
        std::string text;
        bool in_its_words = false;
    };
    struct Slot {
        DecoderHandle decoder;
        std::vector<std::size_t> shares;  // its shares of the plan, in order
        std::int64_t rows = 0;            // rows it writes, and has written
        std::int64_t rows_written = 0;
        bool done = false;  // its job ended well
        std::optional<Failure> failure;
        bool ended = false;  // its connection is over
    };

    bool rows_ready(std::int64_t low, std::int64_t high) const;
    void await_job_ends() noexcept;
    bool any_failed() const;
    void read_from(Slot& slot);
    void absorb(Slot& slot, const decoder_session::Message& message);
    std::int64_t allowance() const;
    std::string decoder_name(std::size_t slot) const;

    std::shared_ptr<DecoderPool> pool_;
    pid_t owner_;
    LoadRequest request_;
    std::size_t row_bytes_;
    std::shared_ptr<FrameMemory> memory_;
    std::vector<Slot> slots_;
    std::vector<std::uint8_t> written_;  // per row
    std::int64_t written_count_ = 0;
    std::int64_t taken_ = 0;  // rows a stream's reader has taken
    std::int64_t ahead_ = 0;  // rows a stream's decoders may write beyond those
    std::int64_t allowed_ = 0;
    Clock::time_point last_row_;
};

}  // namespace lorvex::engine
