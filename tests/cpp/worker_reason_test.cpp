#include "lorvex/protocol/worker_reason.hpp"

#include <gtest/gtest.h>

namespace lorvex {
namespace {

TEST(WorkerReason, TakesTheLastLineOfOurs) {
    EXPECT_EQ(worker_reason("lorvex: Could not open a.mp4: No such file or directory\n"),
              "Could not open a.mp4: No such file or directory");
    EXPECT_EQ(worker_reason("lorvex: first\nnoise\nlorvex: second\r\nmore noise\n"), "second");
}

TEST(WorkerReason, FallsBackToTheLastLineThatIsNotBlank) {
    EXPECT_EQ(worker_reason("==1==ERROR: AddressSanitizer\n  SUMMARY: heap-use-after-free  \n\n"),
              "  SUMMARY: heap-use-after-free");
    EXPECT_EQ(worker_reason("no newline at the end"), "no newline at the end");
}

TEST(WorkerReason, NothingSaid) {
    EXPECT_EQ(worker_reason(""), "");
    EXPECT_EQ(worker_reason("\n \n\t\n"), "");
    EXPECT_EQ(worker_reason("lorvex: \n"), "");
}

}  // namespace
}  // namespace lorvex
