#include "lorvex/core/parent_watch.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lorvex
