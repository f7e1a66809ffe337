#include "lorvex/worker/parent_watch.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lorvex {
namespace {

TEST(CallerNamedBy, TheLoadersMemoryFile) {
    EXPECT_EQ(caller_named_by("/memfd:lorvex-worker-stderr-of-4242 (deleted)"), 4242);
    EXPECT_EQ(caller_named_by("/memfd:lorvex-worker-stderr-of-7"), 7);
}

TEST(CallerNamedBy, AnythingElseNamesNoCaller) {
    for (const char* target :
         {"/dev/pts/3", "pipe:[1234]", "/tmp/log.txt", "/memfd:lorvex-frame-table (deleted)",
          "/memfd:lorvex-worker-stderr-of- (deleted)", "/memfd:lorvex-worker-stderr-of-0 (deleted)",
          "/memfd:lorvex-worker-stderr-of-12x (deleted)",
          "/memfd:lorvex-worker-stderr-of-99999999999999999999"}) {
        EXPECT_EQ(caller_named_by(target), std::nullopt) << target;
    }
}

TEST(ProcessRunning, ThisProcessRunsAndAnEndedChildDoesNot) {
    EXPECT_TRUE(process_running(getpid()));
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    // Ended but not reaped: a zombie counts as ended.
    for (int i = 0; i < 200 && process_running(child); ++i) usleep(5000);
    EXPECT_FALSE(process_running(child));
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(process_running(child));
}

}  // namespace
}  // namespace lorvex
