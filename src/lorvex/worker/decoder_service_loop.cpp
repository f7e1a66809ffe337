// The decoder service's process (see protocol/decoder_service_messages.hpp): one thread,
// waiting for workers (decoder_service_arrivals.*), for its decoders to end
// (decoder_service_jobs.*) and for its caller to end. Everything a job needs happens in the
// decoder forked for it (decoder_service_takeover.*), so that a worker that is slow to send, or
// a decoder that crashes, never holds up the service or the other jobs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/worker_reason.hpp"
#include "lorvex/worker/decoder_service_arrivals.hpp"
#include "lorvex/worker/decoder_service_inputs.hpp"
#include "lorvex/worker/decoder_service_jobs.hpp"
#include "lorvex/worker/decoder_service_takeover.hpp"
#include "lorvex/worker/worker_path.hpp"
#include "lorvex/worker/worker_program.hpp"

namespace lorvex {
namespace {

using Clock = std::chrono::steady_clock;

// Loads what every decoder would otherwise set up on its first picture.
void warm_up() {
    silence_ffmpeg_log();
    for (const AVCodecID codec :
         {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MPEG4, AV_CODEC_ID_VP9}) {
        const AVCodec* decoder = avcodec_find_decoder(codec);
        if (decoder == nullptr) continue;
        UniqueCodecContext context(avcodec_alloc_context3(decoder));
        if (context) (void)avcodec_open2(context.get(), decoder, nullptr);
    }
}

class Service {
  public:
    Service(pid_t caller, Descriptor caller_exit, Descriptor children)
        : caller_(caller),
          caller_exit_(std::move(caller_exit)),
          children_(std::move(children)),
          program_(this_program()),
          arrivals_(caller) {}

    void run() {
        while (true) {
            std::vector<pollfd> watched{{names::kListeningDescriptor, POLLIN, 0},
                                        {children_.get(), POLLIN, 0}};
            if (caller_exit_) watched.push_back({caller_exit_.get(), POLLIN, 0});
            const std::size_t first_arrival = watched.size();
            arrivals_.watch(watched);
            const std::size_t first_job = watched.size();
            const std::vector<pid_t> watched_jobs = jobs_.watch(watched);
            if (poll(watched.data(), watched.size(), wait_milliseconds()) < 0 && errno != EINTR) {
                return;
            }
            if (caller_exit_ ? watched[2].revents != 0 : getppid() != caller_) return;
            for (std::size_t i = 0; i < watched_jobs.size(); ++i) {
                if (watched[first_job + i].revents != 0) jobs_.worker_gone(watched_jobs[i]);
            }
            jobs_.end_overdue();
            if (watched[1].revents != 0) reap();
            // Arrivals first: accepting adds to them.
            const std::span<const pollfd> all(watched);
            arrivals_.look(all.subspan(first_arrival, first_job - first_arrival),
                           [this](Descriptor connection, pid_t worker,
                                  const decoder_service::RequestStart& start) {
                               start_decoder(std::move(connection), worker, start);
                           });
            if (watched[0].revents != 0) arrivals_.accept_from(names::kListeningDescriptor);
        }
    }

  private:
    // Until the next arrival gives up or the next warm decoder is overdue, or for ever;
    // without a pidfd for the caller, a look every tenth of a second.
    int wait_milliseconds() const {
        int milliseconds = caller_exit_ ? -1 : 100;
        for (const std::optional<Clock::time_point> moment :
             {arrivals_.next_deadline(), jobs_.next_deadline()}) {
            if (!moment) continue;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*moment - Clock::now())
                    .count();
            const int bounded = static_cast<int>(std::clamp<long long>(left + 1, 0, 60'000));
            milliseconds = milliseconds < 0 ? bounded : std::min(milliseconds, bounded);
        }
        return milliseconds;
    }

    void start_decoder(Descriptor connection, pid_t worker,
                       const decoder_service::RequestStart& start) {
        const std::string& path = start.video_path;
        const std::optional<std::string> location = service_location(worker, path);
        const std::optional<FileIdentity> file =
            location ? identify_file_at(AT_FDCWD, *location) : std::nullopt;
        PreparedInput* input = file ? inputs_.for_file(*location, path, *file) : nullptr;
        const pid_t decoder = fork();
        if (decoder == 0) run_forked_decoder(connection.get(), caller_, program_, input);
        if (decoder < 0) return;  // the worker decodes by itself
        jobs_.add(decoder, std::move(connection), file, start.mode == names::kWarmMode);
    }

    void reap() {
        signalfd_siginfo information;
        while (read(children_.get(), &information, sizeof information) > 0) {
        }
        for (const FileIdentity& file : jobs_.reap()) inputs_.remember_opened_fine(file);
    }

    pid_t caller_;
    Descriptor caller_exit_;
    Descriptor children_;
    std::string program_;
    ServiceArrivals arrivals_;
    ServiceJobs jobs_;  // each running decoder's worker and file
    ServiceInputs inputs_;
};

}  // namespace

int serve_decoders(int argc, const char* const* argv) noexcept {
    pid_t caller = 0;
    const std::string_view given = argc == 3 ? argv[2] : "";
    const auto [end, error] = std::from_chars(given.data(), given.data() + given.size(), caller);
    if (given.empty() || error != std::errc() || end != given.data() + given.size() ||
        caller <= 1) {
        write_reason_line("the decoder service is started by lorvex, not by hand");
        return 2;
    }
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(names::kListeningDescriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) !=
            0 ||
        listening == 0 || getppid() != caller) {
        return 0;
    }
    // Whatever else the caller left open (pipes of its own, say) must not be held here.
    if (!close_all_but({0, 1, 2, names::kListeningDescriptor})) return 0;
    Descriptor caller_exit(static_cast<int>(syscall(SYS_pidfd_open, caller, 0)));
    if (getppid() != caller) return 0;
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_ended, nullptr);
    Descriptor children(signalfd(-1, &child_ended, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!children) return 0;
    warm_up();
    Service(caller, std::move(caller_exit), std::move(children)).run();
    // The decoders still running watch the caller and their workers themselves.
    return 0;
}

}  // namespace lorvex
