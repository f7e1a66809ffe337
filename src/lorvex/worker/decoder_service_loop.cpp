// The decoder service's process (see decoder_service_messages.hpp): one thread, waiting for workers,
// for its decoders to end and for its caller to end. Everything a job needs happens in the
// decoder forked for it, so that a worker that is slow to send, or a decoder that crashes,
// never holds up the service or the other jobs.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lorvex/media/ffmpeg.hpp"
#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/open_descriptors.hpp"
#include "lorvex/protocol/worker_reason.hpp"
#include "lorvex/worker/parent_watch.hpp"
#include "lorvex/worker/prepared_input.hpp"
#include "lorvex/worker/worker_path.hpp"
#include "lorvex/worker/worker_program.hpp"

namespace lorvex {
namespace {

using decoder_service::Reply;
using decoder_service::Request;

// The real path of `path`, or "" when it has none.
std::string real_path(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// Closes every descriptor of this process but those of `kept`; false without /proc.
bool close_all_but(const std::vector<int>& kept) {
    const std::optional<std::vector<int>> open = open_descriptors();
    if (!open) return false;
    for (const int descriptor : *open) {
        if (std::find(kept.begin(), kept.end(), descriptor) == kept.end()) close(descriptor);
    }
    return true;
}

// Gives the forked decoder the worker's descriptors under the worker's numbers, the worker's
// working folder, and nothing of the service's but the input prepared for the job, whose
// descriptor gets a number clear of the worker's; returns the connection's new number, or -1.
int take_over_descriptors(int connection, const Request& request, PreparedInput* input) {
    if (fchdir(request.descriptors.front()) != 0) return -1;
    int above = 3;
    for (const int number : request.descriptor_numbers) above = std::max(above, number + 1);
    // First everything out of the way of the numbers wanted, then into place.
    const int moved_connection = fcntl(connection, F_DUPFD_CLOEXEC, above);
    if (moved_connection < 0) return -1;
    std::vector<int> kept{moved_connection};
    for (std::size_t i = 1; i < request.descriptors.size(); ++i) {
        const int moved = fcntl(request.descriptors[i], F_DUPFD_CLOEXEC, above);
        if (moved < 0) return -1;
        kept.push_back(moved);
    }
    if (input != nullptr) {
        const int moved = fcntl(input->descriptor(), F_DUPFD_CLOEXEC, above);
        if (moved < 0) return -1;
        input->renumber(moved);
        kept.push_back(moved);
    }
    if (!close_all_but(kept)) return -1;
    for (std::size_t i = 0; i < request.descriptor_numbers.size(); ++i) {
        if (dup2(kept[i + 1], request.descriptor_numbers[i]) < 0) return -1;
        close(kept[i + 1]);
    }
    return moved_connection;
}

// Priority and processors as the worker has them (an interleaved worker yields to the ones
// before it; a caller may have pinned its workers). Best effort: the service's are fine too.
void adopt_scheduling_of(pid_t worker) {
    errno = 0;
    const int priority = getpriority(PRIO_PROCESS, worker);
    if (priority != -1 || errno == 0) (void)setpriority(PRIO_PROCESS, 0, priority);
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(worker, sizeof processors, &processors) == 0) {
        (void)sched_setaffinity(0, sizeof processors, &processors);
    }
}

// The forked decoder: takes the job over, decodes, reports. Never returns.
[[noreturn]] void run_job(int connection, pid_t caller, const std::string& program,
                          PreparedInput* input) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::optional<Request> request = decoder_service::receive_request(connection);
    if (!request) _exit(0);
    const std::optional<ucred> worker = decoder_service::peer_of(connection);
    // Only a worker of the same build: its decoder must be this very program.
    if (!worker || program.empty() || real_path(request->decoder.c_str()) != program) {
        decoder_service::send_reply(connection, {Reply::Kind::declined, 0});
        _exit(0);
    }
    const int job_connection = take_over_descriptors(connection, *request, input);
    if (job_connection < 0) {
        decoder_service::send_reply(connection, {Reply::Kind::declined, 0});
        _exit(0);
    }
    if (input != nullptr) offer_input(std::move(*input));
    adopt_scheduling_of(worker->pid);
    // The decoder's pid, for an engine that must say which decoder failed or stop a stuck one.
    decoder_service::send_reply(job_connection, {Reply::Kind::accepted, getpid()});

    const std::string program_name(names::kDecoderProgram);
    std::vector<const char*> arguments{program_name.c_str()};
    for (const std::string& argument : request->arguments) arguments.push_back(argument.c_str());
    arguments.push_back(nullptr);
    const int status = run_handed_over_decoder(static_cast<int>(arguments.size() - 1),
                                               arguments.data(), job_connection, caller);
    std::fflush(nullptr);
    decoder_service::send_reply(job_connection, {Reply::Kind::exited, status});
    _exit(status);
}

Reply reply_for(int wait_status) {
    if (WIFSIGNALED(wait_status)) return {Reply::Kind::killed, WTERMSIG(wait_status)};
    return {Reply::Kind::exited, WEXITSTATUS(wait_status)};
}

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
          program_(real_path("/proc/self/exe")) {}

    void run() {
        while (true) {
            std::vector<pollfd> watched{{names::kListeningDescriptor, POLLIN, 0},
                                        {children_.get(), POLLIN, 0}};
            if (caller_exit_) watched.push_back({caller_exit_.get(), POLLIN, 0});
            const std::size_t first_arrival = watched.size();
            for (const Arrival& arrival : arrivals_) {
                watched.push_back({arrival.connection.get(), POLLIN | POLLRDHUP, 0});
            }
            const std::size_t first_job = watched.size();
            std::vector<pid_t> watched_jobs;
            for (const auto& [decoder, job] : jobs_) {
                if (job.worker_gone) continue;
                watched.push_back({job.connection, POLLRDHUP, 0});
                watched_jobs.push_back(decoder);
            }
            if (poll(watched.data(), watched.size(), wait_milliseconds()) < 0 && errno != EINTR) {
                return;
            }
            if (caller_exit_ ? watched[2].revents != 0 : getppid() != caller_) return;
            for (std::size_t i = 0; i < watched_jobs.size(); ++i) {
                if (watched[first_job + i].revents != 0) end_abandoned_job(watched_jobs[i]);
            }
            end_overdue_jobs();
            if (watched[1].revents != 0) reap();
            // Arrivals first: accepting may add to them.
            std::vector<short> events(arrivals_.size());
            for (std::size_t i = 0; i < arrivals_.size(); ++i) {
                events[i] = watched[first_arrival + i].revents;
            }
            look_at_arrivals(events);
            if (watched[0].revents != 0) accept_worker();
        }
    }

    // With the caller gone every load is over. A decoder watches its caller itself, but one
    // that a signal stopped cannot: it is killed here, which a stopped process cannot ignore.
    ~Service() {
        for (const auto& [decoder, job] : jobs_) {
            kill(decoder, SIGKILL);
            close(job.connection);
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    // A connected worker whose request has not fully come in.
    struct Arrival {
        Descriptor connection;
        pid_t worker;
        Clock::time_point deadline;
    };
    struct Job {
        int connection;
        std::optional<FileIdentity> file;
        bool warm = false;  // kept by the caller's engine for one video (names::kWarmMode)
        bool worker_gone = false;
        // A warm decoder whose engine hung up reads that itself and ends; past this, it is
        // stopped or stuck and is killed.
        std::optional<Clock::time_point> kill_at;
    };

    // Until the next arrival gives up or the next warm decoder is overdue, or for ever;
    // without a pidfd for the caller, a look every tenth of a second.
    int wait_milliseconds() const {
        int milliseconds = caller_exit_ ? -1 : 100;
        const auto until = [&](Clock::time_point moment) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(moment - Clock::now())
                    .count();
            const int bounded = static_cast<int>(std::clamp<long long>(left + 1, 0, 60'000));
            milliseconds = milliseconds < 0 ? bounded : std::min(milliseconds, bounded);
        };
        for (const Arrival& arrival : arrivals_) until(arrival.deadline);
        for (const auto& [decoder, job] : jobs_) {
            if (job.kill_at) until(*job.kill_at);
        }
        return milliseconds;
    }

    void accept_worker() {
        Descriptor connection(accept4(names::kListeningDescriptor, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) return;
        // Only the caller's own workers, and the caller's engine; anyone else finds the
        // connection closed.
        const std::optional<ucred> worker = decoder_service::peer_of(connection.get());
        if (!worker || worker->uid != getuid() ||
            (worker->pid != caller_ && parent_of(worker->pid) != caller_)) {
            return;
        }
        arrivals_.push_back({std::move(connection), worker->pid, Clock::now() + kPatience});
    }

    // Starts a decoder for each arrival whose request has come in far enough to name its
    // video. One that hangs up, sends something else or is too slow (stopped, say) is dropped
    // and decodes by itself; none of them holds up the others.
    void look_at_arrivals(const std::vector<short>& events) {
        const Clock::time_point now = Clock::now();
        std::vector<Arrival> waiting;
        for (std::size_t i = 0; i < events.size(); ++i) {
            Arrival& arrival = arrivals_[i];
            using State = decoder_service::RequestStart::State;
            const decoder_service::RequestStart start =
                events[i] != 0 ? decoder_service::peek_request_start(arrival.connection.get())
                               : decoder_service::RequestStart{};
            // A worker that hung up sends no more: what has come is all there is.
            const bool more_to_come = (events[i] & (POLLHUP | POLLRDHUP | POLLERR)) == 0;
            if (start.state == State::ready) {
                start_decoder(std::move(arrival.connection), arrival.worker, start);
            } else if (start.state == State::waiting && more_to_come && now < arrival.deadline) {
                waiting.push_back(std::move(arrival));
            }
        }
        arrivals_ = std::move(waiting);
    }

    void start_decoder(Descriptor connection, pid_t worker,
                       const decoder_service::RequestStart& start) {
        const std::string& path = start.video_path;
        const std::optional<std::string> location = service_location(worker, path);
        const std::optional<FileIdentity> file =
            location ? identify_file_at(AT_FDCWD, *location) : std::nullopt;
        PreparedInput* input = file ? prepared_input(*location, path, file) : nullptr;
        const pid_t decoder = fork();
        if (decoder == 0) run_job(connection.get(), caller_, program_, input);
        if (decoder < 0) return;  // the worker decodes by itself
        jobs_[decoder] = Job{connection.release(), file, start.mode == names::kWarmMode, false, {}};
    }

    // The input opened here for `file`, opening it now if a decoder has opened that file without
    // trouble before: a file that stalls or crashes a demuxer does so in a decoder of its own,
    // never here.
    PreparedInput* prepared_input(const std::string& location, const std::string& path,
                                  const std::optional<FileIdentity>& file) {
        if (!file) return nullptr;
        const auto kept =
            std::find_if(inputs_.begin(), inputs_.end(),
                         [&](const PreparedInput& input) { return input.file == *file; });
        if (kept != inputs_.end()) {
            if (kept != inputs_.begin()) std::rotate(inputs_.begin(), kept, std::next(kept));
            return &inputs_.front();
        }
        if (std::find(opened_fine_.begin(), opened_fine_.end(), *file) == opened_fine_.end()) {
            return nullptr;
        }
        try {
            std::optional<PreparedInput> input = prepare_input(location, path);
            if (!input || !(input->file == *file)) return nullptr;
            inputs_.push_front(std::move(*input));
            if (inputs_.size() > kKeptInputs) inputs_.pop_back();
            return &inputs_.front();
        } catch (const std::exception&) {
            return nullptr;  // the decoder finds the same trouble, and reports it
        }
    }

    void reap() {
        signalfd_siginfo information;
        while (read(children_.get(), &information, sizeof information) > 0) {
        }
        int status = 0;
        pid_t ended;
        while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
            const auto job = jobs_.find(ended);
            if (job == jobs_.end()) continue;
            // A decoder that exited has said so itself; one killed by a signal could not.
            decoder_service::send_reply(job->second.connection, reply_for(status));
            close(job->second.connection);
            if (job->second.file && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                remember_opened_fine(*job->second.file);
            }
            jobs_.erase(job);
        }
    }

    // The worker of a running decoder hung up: it was ended (its load failed, timed out or was
    // abandoned) and nobody wants the decoder's work. The decoder would notice and leave by
    // itself, unless a signal stopped it; killed, it is reaped like any other.
    void end_abandoned_job(pid_t decoder) {
        const auto job = jobs_.find(decoder);
        if (job == jobs_.end()) return;
        job->second.worker_gone = true;
        if (job->second.warm) {
            job->second.kill_at = Clock::now() + kWarmDecoderGrace;
        } else {
            kill(decoder, SIGKILL);
        }
    }

    void end_overdue_jobs() {
        const Clock::time_point now = Clock::now();
        for (auto& [decoder, job] : jobs_) {
            if (job.kill_at && *job.kill_at <= now) {
                kill(decoder, SIGKILL);
                job.kill_at.reset();
            }
        }
    }

    void remember_opened_fine(const FileIdentity& file) {
        if (std::find(opened_fine_.begin(), opened_fine_.end(), file) != opened_fine_.end()) {
            return;
        }
        opened_fine_.push_front(file);
        if (opened_fine_.size() > kRememberedFiles) opened_fine_.pop_back();
    }

    // A worker sends its request right after connecting; one that has not after this long is
    // stopped or starved, and better off decoding by itself.
    static constexpr Clock::duration kPatience = std::chrono::seconds(5);
    // An idle warm decoder ends the moment it reads its engine's hang-up.
    static constexpr Clock::duration kWarmDecoderGrace = std::chrono::seconds(1);
    // A reader's loads, and a few readers at once; each input holds a descriptor and the file's
    // sample tables.
    static constexpr std::size_t kKeptInputs = 4;
    static constexpr std::size_t kRememberedFiles = 64;

    pid_t caller_;
    Descriptor caller_exit_;
    Descriptor children_;
    std::string program_;
    std::vector<Arrival> arrivals_;
    std::map<pid_t, Job> jobs_;             // each running decoder's worker and file
    std::deque<PreparedInput> inputs_;      // most recently used first
    std::deque<FileIdentity> opened_fine_;  // files a decoder opened, most recent first
};

}  // namespace

int serve_decoders(int argc, const char* const* argv) noexcept {
    pid_t caller = 0;
    const std::string_view given = argc == 3 ? argv[2] : "";
    const auto [end, error] = std::from_chars(given.data(), given.data() + given.size(), caller);
    if (given.empty() || error != std::errc() || end != given.data() + given.size() ||
        caller <= 1) {
        write_reason_line("the decoder service is started by lorvex.tandry, not by hand");
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
