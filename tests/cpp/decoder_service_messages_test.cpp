#include "lorvex/protocol/decoder_service_messages.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/socket_io.hpp"

namespace lorvex::decoder_service {
namespace {

struct Connection {
    Descriptor worker;
    Descriptor service;
};

Connection connected() {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    return {Descriptor(ends[0]), Descriptor(ends[1])};
}

ino_t inode_of(int descriptor) {
    struct stat status {};
    EXPECT_EQ(fstat(descriptor, &status), 0);
    return status.st_ino;
}

TEST(DecoderService, ARequestArrivesWithItsDescriptors) {
    Connection connection = connected();
    const Descriptor folder(open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const Descriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    Request sent;
    sent.decoder = "/opt/lorvex/bin/lorvex_decoder";
    // A long item, as a row map of thousands of frames is, and an empty one.
    sent.arguments = {"one-shot", "video.mp4", std::string(200000, 'A'), ""};
    sent.descriptor_numbers = {2, 7};
    sent.descriptors = {folder.get(), null.get(), null.get()};
    EXPECT_EQ(peek_request_start(connection.service.get()).state, RequestStart::State::waiting);
    ASSERT_TRUE(send_request(connection.worker.get(), sent));
    // The service's look leaves the request whole for the decoder.
    const RequestStart start = peek_request_start(connection.service.get());
    EXPECT_EQ(start.state, RequestStart::State::ready);
    EXPECT_EQ(start.video_path, "video.mp4");
    const std::optional<Request> got = receive_request(connection.service.get());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->decoder, sent.decoder);
    EXPECT_EQ(got->arguments, sent.arguments);
    EXPECT_EQ(got->descriptor_numbers, sent.descriptor_numbers);
    ASSERT_EQ(got->descriptors.size(), 3u);
    EXPECT_EQ(inode_of(got->descriptors[0]), inode_of(folder.get()));
    EXPECT_EQ(inode_of(got->descriptors[2]), inode_of(null.get()));
    for (const int descriptor : got->descriptors) close(descriptor);
}

TEST(DecoderService, AnythingButARequestIsRefusedAndItsDescriptorsClosed) {
    const Descriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const auto refused = [&](std::string bytes, bool with_descriptor) {
        Connection connection = connected();
        iovec part{bytes.data(), bytes.size()};
        char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (with_descriptor) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* rights = CMSG_FIRSTHDR(&message);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int));
            const int descriptor = null.get();
            std::memcpy(CMSG_DATA(rights), &descriptor, sizeof descriptor);
        }
        EXPECT_GT(sendmsg(connection.worker.get(), &message, 0), 0);
        connection.worker = Descriptor();  // hung up after it
        const int lowest_free = dup(0);
        close(lowest_free);
        // The service's look never takes a request that the decoder would refuse for its bytes.
        const RequestStart start = peek_request_start(connection.service.get());
        const std::optional<Request> request = receive_request(connection.service.get());
        if (start.state == RequestStart::State::ready) {
            EXPECT_TRUE(request || !with_descriptor);
        }
        if (request) {
            for (const int descriptor : request->descriptors) close(descriptor);
        }
        // Nothing received was kept open.
        const int after = dup(0);
        close(after);
        EXPECT_EQ(after, lowest_free);
        return !request;
    };
    const auto header = [](std::uint32_t magic, std::uint32_t count, std::uint32_t size) {
        std::string bytes;
        for (const std::uint32_t value : {magic, count, size}) {
            bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
        }
        return bytes;
    };
    constexpr std::uint32_t magic = 0x4c565852;
    EXPECT_TRUE(refused("hello", true));                                     // no header
    EXPECT_TRUE(refused(header(magic + 1, 0, 2) + "a", true));               // another magic
    EXPECT_TRUE(refused(header(magic, 0, 2) + "a", true));                   // cut short
    EXPECT_TRUE(refused(header(magic, 1, 6) + std::string(6, '\0'), true));  // descriptors missing
    EXPECT_TRUE(refused(header(magic, 0, 2) + "ab", true));                  // text not ended
    const std::string names("decoder\0mode\0video\0", 20);
    EXPECT_TRUE(refused(header(magic, 0, 20) + names, false));  // no folder
    EXPECT_FALSE(refused(header(magic, 0, 20) + names, true));  // decoder, mode, video
}

TEST(SocketIo, DescriptorsTravelWithTheFirstPartAndNoneAreLeft) {
    const Descriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int lowest_free = dup(0);
    close(lowest_free);
    {
        Connection connection = connected();
        const std::string bytes = "abcdef";
        const int three[] = {null.get(), null.get(), null.get()};
        ASSERT_TRUE(
            send_with_descriptors(connection.worker.get(), bytes.data(), bytes.size(), {three, 2}));
        ASSERT_TRUE(
            send_with_descriptors(connection.worker.get(), bytes.data(), bytes.size(), three));
        char first[4];
        std::optional<ReceivedStart> start =
            receive_with_descriptors(connection.service.get(), first, sizeof first, 2);
        ASSERT_TRUE(start);
        EXPECT_EQ(start->size, sizeof first);
        EXPECT_FALSE(start->truncated);
        ASSERT_EQ(start->descriptors.size(), 2u);
        EXPECT_EQ(inode_of(start->descriptors[1].get()), inode_of(null.get()));
        char rest[2];
        ASSERT_TRUE(receive_all(connection.service.get(), rest, sizeof rest));
        EXPECT_EQ(std::string(first, sizeof first) + std::string(rest, sizeof rest), bytes);
        // Three descriptors where there is room for two: the message says so.
        char again[6];
        start = receive_with_descriptors(connection.service.get(), again, sizeof again, 2);
        ASSERT_TRUE(start);
        EXPECT_TRUE(start->truncated);
        connection.worker = Descriptor();
        EXPECT_FALSE(receive_with_descriptors(connection.service.get(), again, sizeof again, 2));
    }
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, lowest_free);
}

TEST(DecoderService, RepliesInOrderAndNothingAfterTheEnd) {
    Connection connection = connected();
    send_reply(connection.service.get(), {Reply::Kind::accepted, 0});
    send_reply(connection.service.get(), {Reply::Kind::killed, 9});
    connection.service = Descriptor();
    const std::optional<Reply> accepted = receive_reply(connection.worker.get());
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->kind, Reply::Kind::accepted);
    const std::optional<Reply> killed = receive_reply(connection.worker.get());
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->kind, Reply::Kind::killed);
    EXPECT_EQ(killed->value, 9);
    EXPECT_FALSE(receive_reply(connection.worker.get()));
}

}  // namespace
}  // namespace lorvex::decoder_service
