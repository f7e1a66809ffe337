#include "lorvex/worker/decoder_service_jobs.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <utility>

#include "lorvex/protocol/decoder_service_messages.hpp"

namespace lorvex {
namespace {

using decoder_service::Reply;

Reply reply_for(int wait_status) {
    if (WIFSIGNALED(wait_status)) return {Reply::Kind::killed, WTERMSIG(wait_status)};
    return {Reply::Kind::exited, WEXITSTATUS(wait_status)};
}

}  // namespace

ServiceJobs::~ServiceJobs() {
    for (const auto& [decoder, job] : jobs_) kill(decoder, SIGKILL);
}

void ServiceJobs::add(pid_t decoder, Descriptor connection, std::optional<FileIdentity> file,
                      bool warm) {
    jobs_[decoder] = Job{std::move(connection), std::move(file), warm, false, {}};
}

std::vector<pid_t> ServiceJobs::watch(std::vector<pollfd>& watched) const {
    std::vector<pid_t> decoders;
    for (const auto& [decoder, job] : jobs_) {
        if (job.worker_gone) continue;
        watched.push_back({job.connection.get(), POLLRDHUP, 0});
        decoders.push_back(decoder);
    }
    return decoders;
}

void ServiceJobs::worker_gone(pid_t decoder) {
    const auto job = jobs_.find(decoder);
    if (job == jobs_.end()) return;
    job->second.worker_gone = true;
    if (job->second.warm) {
        job->second.kill_at = Clock::now() + kWarmDecoderGrace;
    } else {
        kill(decoder, SIGKILL);
    }
}

void ServiceJobs::end_overdue() {
    const Clock::time_point now = Clock::now();
    for (auto& [decoder, job] : jobs_) {
        if (job.kill_at && *job.kill_at <= now) {
            kill(decoder, SIGKILL);
            job.kill_at.reset();
        }
    }
}

std::vector<FileIdentity> ServiceJobs::reap() {
    std::vector<FileIdentity> opened_fine;
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
        const auto job = jobs_.find(ended);
        if (job == jobs_.end()) continue;
        // A decoder that exited has said so itself; one killed by a signal could not.
        decoder_service::send_reply(job->second.connection.get(), reply_for(status));
        if (job->second.file && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            opened_fine.push_back(*job->second.file);
        }
        jobs_.erase(job);
    }
    return opened_fine;
}

std::optional<ServiceJobs::Clock::time_point> ServiceJobs::next_deadline() const {
    std::optional<Clock::time_point> first;
    for (const auto& [decoder, job] : jobs_) {
        if (job.kill_at && (!first || *job.kill_at < *first)) first = job.kill_at;
    }
    return first;
}

}  // namespace lorvex
