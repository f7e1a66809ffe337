#include "lorvex/protocol/open_descriptors.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/inherited_text.hpp"

namespace lorvex {
namespace {

bool listed(int descriptor) {
    const std::optional<std::vector<int>> open = open_descriptors();
    EXPECT_TRUE(open);
    return open && std::find(open->begin(), open->end(), descriptor) != open->end();
}

TEST(OpenDescriptors, ListsExactlyWhatIsOpen) {
    const std::optional<std::vector<int>> before = open_descriptors();
    ASSERT_TRUE(before);
    // The listing's own descriptor is closed by the time the list is handed back.
    for (const int descriptor : *before) EXPECT_NE(fcntl(descriptor, F_GETFD), -1) << descriptor;

    int number = -1;
    {
        const Descriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(null);
        number = null.get();
        EXPECT_TRUE(listed(number));
    }
    EXPECT_FALSE(listed(number));
}

TEST(OpenDescriptors, MemoryFilesAreFoundByTheirWholeName) {
    const Descriptor table = new_memory_file("lorvex-test-table", "T");
    const Descriptor longer = new_memory_file("lorvex-test-table-2", "U");
    const Descriptor other = new_memory_file("lorvex-test-other", "V");
    EXPECT_EQ(inherited_memory_files("lorvex-test-table"), std::vector<int>{table.get()});
    EXPECT_EQ(read_inherited_file(table.get()), "T");
    EXPECT_TRUE(inherited_memory_files("lorvex-test-absent").empty());
}

}  // namespace
}  // namespace lorvex
