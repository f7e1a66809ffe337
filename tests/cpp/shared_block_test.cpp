#include "lorvex/protocol/shared_block.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;

// A block made the way the loader makes one, unlinked when the test ends.
class ScopedBlock {
  public:
    ScopedBlock(const std::string& suffix, off_t size)
        : name_("lorvex_test_" + std::to_string(::getpid()) + "_" + suffix) {
        fd_ = ::shm_open(("/" + name_).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd_ < 0 || ::ftruncate(fd_, size) != 0) throw std::runtime_error("test block failed");
    }
    ~ScopedBlock() {
        ::close(fd_);
        ::shm_unlink(("/" + name_).c_str());
    }
    ScopedBlock(const ScopedBlock&) = delete;
    ScopedBlock& operator=(const ScopedBlock&) = delete;

    const std::string& name() const { return name_; }
    std::uint8_t byte_at(off_t offset) const {
        std::uint8_t byte = 0;
        EXPECT_EQ(::pread(fd_, &byte, 1, offset), 1);
        return byte;
    }
    off_t size() const {
        struct stat status {};
        ::fstat(fd_, &status);
        return status.st_size;
    }

  private:
    std::string name_;
    int fd_ = -1;
};

bool block_exists(const std::string& name) {
    const int fd = ::shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(SharedBlock, MapsTheLoadersBlockReadWrite) {
    const ScopedBlock block("rw", 3 * 4 * 5);
    {
        const SharedBlock mapped = SharedBlock::attach(block.name(), 60);
        ASSERT_NE(mapped.data(), nullptr);
        EXPECT_EQ(mapped.size(), 60u);
        mapped.data()[0] = 7;
        mapped.data()[59] = 9;
        // With or without the leading slash, it is the same block.
        const SharedBlock again = SharedBlock::attach("/" + block.name(), 60);
        EXPECT_EQ(again.data()[59], 9);
    }
    EXPECT_EQ(block.byte_at(0), 7);
    EXPECT_EQ(block.byte_at(59), 9);
    // Detaching neither removes nor resizes the block.
    EXPECT_TRUE(block_exists(block.name()));
    EXPECT_EQ(block.size(), 60);
}

TEST(SharedBlock, RefusesAnyOtherSize) {
    const ScopedBlock block("size", 4096);
    EXPECT_TRUE(refuses<std::runtime_error>(
        [&] { SharedBlock::attach(block.name(), 4095); },
        "Shared memory block " + block.name() + " has 4096 bytes, expected 4095"));
    EXPECT_TRUE(refuses<std::runtime_error>([&] { SharedBlock::attach(block.name(), 8192); },
                                            "expected 8192"));
    EXPECT_EQ(block.size(), 4096);
}

TEST(SharedBlock, RefusesMissingBlocksWithoutCreatingThem) {
    const std::string missing = "lorvex_test_" + std::to_string(::getpid()) + "_missing";
    EXPECT_TRUE(refuses<std::runtime_error>(
        [&] { SharedBlock::attach(missing, 16); },
        "Could not attach shared memory " + missing + ": No such file or directory"));
    EXPECT_FALSE(block_exists(missing));
    EXPECT_TRUE(refuses<std::runtime_error>([] { SharedBlock::attach("", 16); }, "empty name"));
    EXPECT_TRUE(refuses<std::runtime_error>([] { SharedBlock::attach("a/b", 16); },
                                            "Could not attach shared memory a/b: "));
}

TEST(SharedBlock, OwnsItsMappingAndDescriptorAloneAndLeaksNeither) {
    const ScopedBlock first("first", 8);
    const ScopedBlock second("second", 16);
    const std::size_t descriptors = open_descriptors();
    {
        SharedBlock a = SharedBlock::attach(first.name(), 8);
        SharedBlock b = SharedBlock::attach(second.name(), 16);
        EXPECT_EQ(open_descriptors(), descriptors + 2);
        EXPECT_TRUE(refuses<std::runtime_error>([&] { SharedBlock::attach(first.name(), 9); },
                                                "expected 9"));
        EXPECT_EQ(open_descriptors(), descriptors + 2) << "a refused attachment keeps nothing";

        SharedBlock moved = std::move(a);
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(moved.size(), 8u);
        moved = std::move(b);  // drops the first mapping and descriptor, takes the second
        EXPECT_EQ(open_descriptors(), descriptors + 1);
        EXPECT_EQ(moved.size(), 16u);
        moved.data()[15] = 42;
        EXPECT_EQ(second.byte_at(15), 42);
        EXPECT_EQ(b.data(), nullptr);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

// Rows reach the block by pwrite: the bytes land where the mapping sees them, and nothing
// outside the block is written or grows it.
TEST(SharedBlock, WritesRangesInsideTheBlockOnly) {
    const ScopedBlock block("write", 64);
    const SharedBlock attached = SharedBlock::attach(block.name(), 64);
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    attached.write(59, bytes, 5);
    EXPECT_EQ(attached.data()[59], 1);
    EXPECT_EQ(block.byte_at(63), 5);
    EXPECT_TRUE(refuses<std::out_of_range>([&] { attached.write(60, bytes, 5); },
                                           "bytes 60 to 65 lie outside its 64"));
    EXPECT_TRUE(refuses<std::out_of_range>([&] { attached.write(65, bytes, 0); }, "outside"));
    EXPECT_EQ(block.size(), 64);
}

}  // namespace
}  // namespace lorvex
