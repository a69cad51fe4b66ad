// Unit tests for tavisol-sockets' request and reply formats: the request has exactly one
// spelling per socket, an interface name is held to the kernel's limit and a safe alphabet,
// and a reply the program cannot read is taken for none. (What the helper does with bad
// requests, end to end, is in sockets_helper_test.cpp.)
#include "platform/posix/sockets-helper/reply.h"
#include "platform/posix/sockets-helper/request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tvhelper::Reply;
using tvhelper::SocketKind;
using tvhelper::SocketRequest;

tvhelper::RequestReading Read(const std::string& text) {
    return tvhelper::ReadRequest(
        {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

std::optional<Reply> ReadReply(const std::string& text) {
    return tvhelper::ReadReply({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

TEST(SocketsRequestTest, EachRequestReadsBackFromItsOneSpelling) {
    const SocketRequest requests[] = {
        {SocketKind::BootpServer, ""},
        {SocketKind::RawIcmp, ""},
        {SocketKind::ArpPacket, "eth0"},
        {SocketKind::ArpPacket, "enp0s31f6.100"},
        {SocketKind::ArpPacket, "a-b_c.0123456x"}, // 15 characters, the kernel's most
    };
    for (const SocketRequest& request : requests) {
        const std::string text = tvhelper::WriteRequest(request);
        tvhelper::RequestReading reading = Read(text);
        ASSERT_TRUE(reading.request) << text << ": " << reading.refusal;
        EXPECT_EQ(reading.request->kind, request.kind) << text;
        EXPECT_EQ(reading.request->interface, request.interface) << text;
        EXPECT_LE(text.size(), tvhelper::kMaxRequestBytes);
    }
    EXPECT_EQ(tvhelper::WriteRequest({SocketKind::ArpPacket, "eth0"}),
              "TAVISOL-SOCKETS/1 arp eth0\n");
}

TEST(SocketsRequestTest, InterfaceNamesWithinTheKernelsLimitAndAlphabet) {
    struct {
        const char* name;
        bool valid;
    } cases[] = {
        {"eth0", true},
        {"a", true},
        {"abcdefghijklmno", true},   // 15
        {"abcdefghijklmnop", false}, // 16: no room for the terminator
        {"", false},
        {".", false},
        {"..", false},
        {"...", true},
        {"eth0/1", false},
        {"eth 0", false},
        {"eth0:1", false}, // an alias, not an interface
        {"eth0\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tvhelper::IsValidInterfaceName(c.name), c.valid) << '"' << c.name << '"';
}

TEST(SocketsRequestTest, RepliesReadBackAndAnythingElseIsNone) {
    const Reply replies[] = {
        {Reply::Outcome::Ok, 0, ""},
        {Reply::Outcome::Refused, 0, "socket 'tcp' is not on the list"},
        {Reply::Outcome::Failed, 98, "cannot bind UDP port 67: Address already in use"},
    };
    for (const Reply& reply : replies) {
        std::optional<Reply> back = ReadReply(tvhelper::WriteReply(reply));
        ASSERT_TRUE(back) << tvhelper::WriteReply(reply);
        EXPECT_EQ(back->outcome, reply.outcome);
        EXPECT_EQ(back->error, reply.error);
        EXPECT_EQ(back->text, reply.text);
    }
    // The system's words may hold a line break; the reply stays one line.
    EXPECT_EQ(tvhelper::WriteReply({Reply::Outcome::Failed, 5, "a\nb"}), "failed 5 a b\n");
    for (const char* bad : {"", "ok", "ok \n", "okay\n", "failed\n", "failed 98\n",
                            "failed x cannot\n", "failed 1234567 big\n", "refused"})
        EXPECT_FALSE(ReadReply(bad)) << '"' << bad << '"';
}

} // namespace
