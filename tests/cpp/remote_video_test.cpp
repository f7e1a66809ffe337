// A remote video's locator, and a read over its channel.
#include "lorvex/protocol/remote_video.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/socket_io.hpp"

namespace lorvex {
namespace {

using remote_video::Locator;

TEST(RemoteVideo, LocatorsAreReadBackAndNameAnIdentity) {
    const Locator locator{1234, 0xfeedu, "https://host/a:b/video.mp4"};
    const std::string text = remote_video::format_locator(locator);
    EXPECT_EQ(text, "lorvex-remote:1234:000000000000feed:https://host/a:b/video.mp4");
    const std::optional<Locator> read = remote_video::parse_locator(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size, 1234);
    EXPECT_EQ(read->version, 0xfeedu);
    EXPECT_EQ(read->name, locator.name);
    // Its identity is the object's in its version, never a file's.
    EXPECT_EQ(identify_file(text), remote_video::identity_of(*read));
    EXPECT_NE(identify_file(text),
              identify_file(remote_video::format_locator({1234, 0xbeefu, locator.name})));
    for (const char* bad : {"lorvex-remote:", "lorvex-remote:12:ff:", "lorvex-remote:x:ff:a",
                            "lorvex-remote:-1:ff:a", "lorvex-remote:12:fg:a", "/videos/a.mp4"}) {
        EXPECT_FALSE(remote_video::parse_locator(bad)) << bad;
    }
}

// The other end of a channel as the caller's process serves it: one read, one answer.
void answer(int channel, std::int64_t reply, const std::string& bytes) {
    remote_video::ReadRequest request{};
    ASSERT_TRUE(receive_all(channel, reinterpret_cast<char*>(&request), sizeof request));
    EXPECT_EQ(request.magic, remote_video::kReadMagic);
    ASSERT_TRUE(send_all(channel, reinterpret_cast<const char*>(&reply), sizeof reply));
    ASSERT_TRUE(send_all(channel, bytes.data(), bytes.size()));
}

TEST(RemoteVideo, ReadsTheirBytesOrTheirReason) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    Descriptor reader(ends[0]);
    Descriptor server(ends[1]);
    std::uint8_t buffer[8] = {};
    std::string reason;

    const auto read_answered = [&](std::int64_t reply, const std::string& bytes) {
        std::thread server_side(answer, server.get(), reply, bytes);
        const std::optional<std::size_t> got =
            remote_video::read_range(reader.get(), 0, buffer, 8, reason);
        server_side.join();
        return got;
    };
    EXPECT_EQ(read_answered(5, "bytes"), std::optional<std::size_t>(5));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "bytes");
    EXPECT_FALSE(read_answered(-9, "no access"));
    EXPECT_EQ(reason, "no access");
    // More bytes than were asked for is not an answer to trust.
    EXPECT_FALSE(read_answered(9, "123456789"));
    EXPECT_NE(reason.find("something else"), std::string::npos);

    server = Descriptor();
    EXPECT_FALSE(remote_video::read_range(reader.get(), 0, buffer, 8, reason));
    EXPECT_NE(reason.find("gone"), std::string::npos);
}

}  // namespace
}  // namespace lorvex
