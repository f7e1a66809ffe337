// The decoders the decoder service forked, each with its worker's connection, until they are
// reaped: how each ended is sent to its worker (a decoder killed by a signal cannot say so
// itself), and a decoder whose worker is gone is ended.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/frame_table_file.hpp"

namespace lorvex {

class ServiceJobs {
  public:
    using Clock = std::chrono::steady_clock;

    ServiceJobs() = default;
    ServiceJobs(const ServiceJobs&) = delete;
    ServiceJobs& operator=(const ServiceJobs&) = delete;
    // With the caller gone every load is over. A decoder watches its caller itself, but one
    // that a signal stopped cannot: it is killed here, which a stopped process cannot ignore.
    ~ServiceJobs();

    // The decoder forked for the worker at the other end of `connection`, for `file` when the
    // service knows it; `warm` for a decoder the caller's engine keeps for one video.
    void add(pid_t decoder, Descriptor connection, std::optional<FileIdentity> file, bool warm);

    // Adds a poll entry to `watched` for each decoder whose worker is still connected, and
    // returns those decoders, in the same order.
    std::vector<pid_t> watch(std::vector<pollfd>& watched) const;

    // The worker of a running decoder hung up: it was ended (its load failed, timed out or was
    // abandoned) and nobody wants the decoder's work. The decoder would notice and leave by
    // itself, unless a signal stopped it: a worker program's decoder is killed now, a warm
    // decoder once its grace is over.
    void worker_gone(pid_t decoder);

    // Kills the warm decoders whose grace is over.
    void end_overdue();

    // Reaps every decoder that ended, tells its worker how, and returns the files of those
    // that had a file and exited with status 0.
    std::vector<FileIdentity> reap();

    // When the first grace is over.
    std::optional<Clock::time_point> next_deadline() const;

  private:
    struct Job {
        Descriptor connection;
        std::optional<FileIdentity> file;
        bool warm = false;  // kept by the caller's engine for one video (names::kWarmMode)
        bool worker_gone = false;
        // A warm decoder whose engine hung up reads that itself and ends; past this, it is
        // stopped or stuck and is killed.
        std::optional<Clock::time_point> kill_at;
    };

    // An idle warm decoder ends the moment it reads its engine's hang-up.
    static constexpr Clock::duration kWarmDecoderGrace = std::chrono::seconds(1);

    std::map<pid_t, Job> jobs_;
};

}  // namespace lorvex
