#include "lorvex/worker/worker_program.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string_view>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/command_line.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/job_blocks.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/worker_guard.hpp"
#include "lorvex/worker/decode_job.hpp"
#include "lorvex/worker/parent_watch.hpp"
#include "lorvex/worker/warm_decoder.hpp"

namespace lorvex {
namespace {

// An interleaved load is read from its first rows on, and its workers hold the intervals in
// turn, worker k the k-th. Each worker yields one step of priority more than the one before,
// so that when the workers outnumber the cores the rows wanted first come first, in every
// run; what the load costs in all stays the same. Threads made later (the decoder's) inherit
// it.
void yield_to_earlier_workers(int worker) {
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0);
    if (current == -1 && errno != 0) return;
    (void)setpriority(PRIO_PROCESS, 0, std::min(current + std::max(worker, 0), 19));
}

void decode_one_shot(int argc, const char* const* argv) {
    const WorkerJob job = parse_one_shot_command_line(argc, argv);
    const JobBlocks blocks = attach_job_blocks(job);
    run_decode_job(job, blocks.frames, [](std::int64_t) {});
}

void decode_interleaved(int argc, const char* const* argv) {
    const WorkerJob job = parse_interleaved_command_line(argc, argv);
    if (!job.check_block) throw std::runtime_error("no check block given");
    const JobBlocks blocks = attach_job_blocks(job);
    std::uint8_t* const flags = blocks.checks->data();
    yield_to_earlier_workers(job.worker);
    run_decode_job(job, blocks.frames, [flags](std::int64_t row) {
        // The reader polls these flags; release publishes the row's bytes before the flag.
        std::atomic_ref<std::uint8_t>(flags[row]).store(1, std::memory_order_release);
    });
}

// The mode, then the worker's own command line, its program name in the mode's place.
void decode(int argc, const char* const* argv) {
    silence_ffmpeg_log();
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == names::kOneShotMode) return decode_one_shot(argc - 1, argv + 1);
    if (mode == names::kInterleavedMode) return decode_interleaved(argc - 1, argv + 1);
    throw std::runtime_error("the decoder is started by the worker programs, not by hand");
}

}  // namespace

int run_decoder(int argc, const char* const* argv) noexcept {
    if (argc > 1 && argv[1] == names::kServeMode) return serve_decoders(argc, argv);
    return run_guarded([&] {
        exit_when_parent_exits();
        decode(argc, argv);
    });
}

int run_handed_over_decoder(int argc, const char* const* argv, int job_connection,
                            pid_t caller) noexcept {
    if ((argc == 3 || argc == 4) && argv[1] == names::kWarmMode) {
        return run_warm_decoder(job_connection, caller, argv[2], argc == 4 ? argv[3] : "");
    }
    return run_guarded([&] {
        exit_when_worker_exits(job_connection, caller);
        decode(argc, argv);
    });
}

}  // namespace lorvex
