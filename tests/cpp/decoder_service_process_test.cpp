// The decoder service's process in parts: the connections that arrive, the decoders it forked
// and where it finds a worker's file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/worker/decoder_service_arrivals.hpp"
#include "lorvex/worker/decoder_service_jobs.hpp"
#include "lorvex/worker/worker_path.hpp"

namespace lorvex {
namespace {

using decoder_service::Reply;
using Clock = std::chrono::steady_clock;

struct Connection {
    Descriptor worker;
    Descriptor service;
};

Connection connected() {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    return {Descriptor(ends[0]), Descriptor(ends[1])};
}

// A child that exits with `status` at once, or, for -1, waits to be killed.
pid_t decoder_ending_with(int status) {
    const pid_t pid = fork();
    if (pid == 0) {
        while (status < 0) pause();
        _exit(status);
    }
    return pid;
}

bool still_running(pid_t pid) {
    siginfo_t information{};
    EXPECT_EQ(waitid(P_PID, static_cast<id_t>(pid), &information, WEXITED | WNOWAIT | WNOHANG), 0);
    return information.si_pid == 0;
}

// Waits a few seconds at most for `pid` to end, leaving it for the jobs to reap.
bool ended_soon(pid_t pid) {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(5);
    while (still_running(pid)) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void expect_reply(int worker, Reply::Kind kind, int value) {
    const std::optional<Reply> reply = decoder_service::receive_reply(worker);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->kind, kind);
    EXPECT_EQ(reply->value, value);
}

TEST(ServiceJobs, EachWorkerHearsHowItsDecoderEnded) {
    ServiceJobs jobs;
    const FileIdentity file{1, 2, 3, 4};
    Connection fine = connected();
    Connection failed = connected();
    Connection abandoned = connected();
    const pid_t fine_decoder = decoder_ending_with(0);
    const pid_t failed_decoder = decoder_ending_with(3);
    const pid_t abandoned_decoder = decoder_ending_with(-1);
    jobs.add(fine_decoder, std::move(fine.service), file, false);
    jobs.add(failed_decoder, std::move(failed.service), file, false);
    jobs.add(abandoned_decoder, std::move(abandoned.service), std::nullopt, false);
    std::vector<pollfd> watched;
    EXPECT_EQ(jobs.watch(watched).size(), 3u);
    EXPECT_EQ(watched.size(), 3u);
    EXPECT_FALSE(jobs.next_deadline());

    // A worker program's decoder whose worker hung up is killed at once, and watched no more.
    jobs.worker_gone(abandoned_decoder);
    watched.clear();
    EXPECT_EQ(jobs.watch(watched).size(), 2u);
    for (const pid_t decoder : {fine_decoder, failed_decoder, abandoned_decoder}) {
        ASSERT_TRUE(ended_soon(decoder));
    }
    // Only the decoder that ended well vouches for its file.
    EXPECT_EQ(jobs.reap(), std::vector<FileIdentity>{file});
    expect_reply(fine.worker.get(), Reply::Kind::exited, 0);
    expect_reply(failed.worker.get(), Reply::Kind::exited, 3);
    expect_reply(abandoned.worker.get(), Reply::Kind::killed, SIGKILL);
    watched.clear();
    EXPECT_TRUE(jobs.watch(watched).empty());
}

TEST(ServiceJobs, AWarmDecoderHasItsGraceAndIsKilledAfter) {
    ServiceJobs jobs;
    Connection engine = connected();
    const pid_t decoder = decoder_ending_with(-1);
    jobs.add(decoder, std::move(engine.service), std::nullopt, true);
    const Clock::time_point hung_up = Clock::now();
    jobs.worker_gone(decoder);
    const std::optional<Clock::time_point> deadline = jobs.next_deadline();
    ASSERT_TRUE(deadline);
    EXPECT_GT(*deadline, hung_up);
    EXPECT_LE(*deadline, Clock::now() + std::chrono::seconds(1));
    jobs.end_overdue();
    EXPECT_TRUE(still_running(decoder));
    std::this_thread::sleep_until(*deadline);
    jobs.end_overdue();
    EXPECT_FALSE(jobs.next_deadline());
    ASSERT_TRUE(ended_soon(decoder));
    EXPECT_TRUE(jobs.reap().empty());
    expect_reply(engine.worker.get(), Reply::Kind::killed, SIGKILL);
}

// A listening socket at an abstract address of this test's own.
struct Listener {
    Descriptor socket;
    sockaddr_un address{};
    socklen_t length = 0;

    Listener() : socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        address.sun_family = AF_UNIX;
        const std::string name = "lorvex-test-arrivals-" + std::to_string(getpid());
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        EXPECT_EQ(bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
        EXPECT_EQ(listen(socket.get(), 8), 0);
    }

    Descriptor connect_one() const {
        Descriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), length),
                  0);
        return connection;
    }
};

TEST(ServiceArrivals, ARequestIsStartedOnceItNamesItsVideo) {
    const Listener listener;
    ServiceArrivals arrivals(getpid());
    Descriptor sender = listener.connect_one();
    Descriptor quitter = listener.connect_one();
    Descriptor silent = listener.connect_one();
    for (int i = 0; i < 3; ++i) arrivals.accept_from(listener.socket.get());

    const Descriptor folder(open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
    decoder_service::Request request;
    request.decoder = "/opt/lorvex/bin/lorvex_decoder";
    request.arguments = {"one-shot", "video.mp4"};
    request.descriptors = {folder.get()};
    ASSERT_TRUE(decoder_service::send_request(sender.get(), request));
    quitter = Descriptor();  // hung up before its request

    std::vector<pollfd> watched;
    arrivals.watch(watched);
    ASSERT_EQ(watched.size(), 3u);
    ASSERT_GT(poll(watched.data(), watched.size(), 1000), 0);
    std::vector<std::string> started;
    arrivals.look(watched, [&](Descriptor connection, pid_t worker,
                               const decoder_service::RequestStart& start) {
        EXPECT_TRUE(connection);
        EXPECT_EQ(worker, getpid());
        EXPECT_EQ(start.mode, "one-shot");
        started.push_back(start.video_path);
    });
    EXPECT_EQ(started, std::vector<std::string>{"video.mp4"});
    // The silent one waits for its request, for a while.
    watched.clear();
    arrivals.watch(watched);
    EXPECT_EQ(watched.size(), 1u);
    const std::optional<Clock::time_point> deadline = arrivals.next_deadline();
    ASSERT_TRUE(deadline);
    EXPECT_GT(*deadline, Clock::now() + std::chrono::seconds(1));
}

TEST(ServiceArrivals, OnlyTheCallerAndItsChildrenAreHeard) {
    const Listener listener;
    // The caller is another process, and this one is not its child.
    const pid_t caller = decoder_ending_with(-1);
    ServiceArrivals arrivals(caller);
    Descriptor stranger = listener.connect_one();
    arrivals.accept_from(listener.socket.get());
    std::vector<pollfd> watched;
    arrivals.watch(watched);
    EXPECT_TRUE(watched.empty());
    char byte = 0;
    EXPECT_EQ(recv(stranger.get(), &byte, 1, 0), 0);  // the service hung up
    kill(caller, SIGKILL);
    waitpid(caller, nullptr, 0);
}

// The service reaches a worker's file as the worker names it, except where the name means a
// descriptor of whoever opens it: a video held in memory is /proc/self/fd/N in its worker, and
// the same name in the service would open the service's own descriptor N.
TEST(ServiceLocation, NamesNoDescriptorOfTheService) {
    EXPECT_EQ(service_location(42, "/videos/a.mp4"), "/videos/a.mp4");
    EXPECT_EQ(service_location(42, "a.mp4"), "/proc/42/cwd/a.mp4");
    EXPECT_EQ(service_location(42, "clips/a.mp4"), "/proc/42/cwd/clips/a.mp4");
    for (const char* own : {"/proc/self/fd/7", "/proc//self/fd/7", "/proc/./self/fd/7",
                            "/proc/thread-self/fd/7", "/dev/fd/7", "/dev/stdin", "/proc/self",
                            "/videos/../proc/self/fd/7", "../../proc/self/fd/7", "a/../b.mp4"}) {
        EXPECT_EQ(service_location(42, own), std::nullopt) << own;
    }
    EXPECT_EQ(service_location(42, "/proc/selfish/a.mp4"), "/proc/selfish/a.mp4");
}

}  // namespace
}  // namespace lorvex
