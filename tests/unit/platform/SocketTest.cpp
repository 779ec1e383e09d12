#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Sockets.h"
#include "support/LoopbackServer.h"

namespace velunor::platform {
namespace {

struct ErrnoCase {
    const char* name;
    int errnoValue;
    int32_t code;
};

// The published table, one row per errno, plus an errno it does not list.
const ErrnoCase kErrnoCases[] = {
    {"EINTR", EINTR, 10004},
    {"EBADF", EBADF, 10038},
    {"ENOTSOCK", ENOTSOCK, 10038},
    {"EACCES", EACCES, 10013},
    {"EFAULT", EFAULT, 10014},
    {"EINVAL", EINVAL, 10022},
    {"EMFILE", EMFILE, 10024},
    {"EWOULDBLOCK", EWOULDBLOCK, 10035},
    {"EAGAIN", EAGAIN, 10035},
    {"EINPROGRESS", EINPROGRESS, 10035},
    {"EALREADY", EALREADY, 10037},
    {"EMSGSIZE", EMSGSIZE, 10040},
    {"EOPNOTSUPP", EOPNOTSUPP, 10045},
    {"EAFNOSUPPORT", EAFNOSUPPORT, 10047},
    {"EADDRINUSE", EADDRINUSE, 10048},
    {"EADDRNOTAVAIL", EADDRNOTAVAIL, 10049},
    {"ENETDOWN", ENETDOWN, 10050},
    {"ENETUNREACH", ENETUNREACH, 10051},
    {"ENETRESET", ENETRESET, 10052},
    {"ECONNABORTED", ECONNABORTED, 10053},
    {"ECONNRESET", ECONNRESET, 10054},
    {"ENOBUFS", ENOBUFS, 10055},
    {"EISCONN", EISCONN, 10056},
    {"ENOTCONN", ENOTCONN, 10057},
    {"EPIPE", EPIPE, 10058},
    {"ESHUTDOWN", ESHUTDOWN, 10058},
    {"ETIMEDOUT", ETIMEDOUT, 10060},
    {"ECONNREFUSED", ECONNREFUSED, 10061},
    {"EHOSTDOWN", EHOSTDOWN, 10064},
    {"EHOSTUNREACH", EHOSTUNREACH, 10065},
    {"ENOENT", ENOENT, 10022},
    {"ENOSPC", ENOSPC, 10022},
};

class SocketErrorTable : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(SocketErrorTable, MapsErrnoToTheWindowsSocketsCode) {
    EXPECT_EQ(SocketErrorFromErrno(GetParam().errnoValue), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(AllRows, SocketErrorTable, ::testing::ValuesIn(kErrnoCases),
                         [](const auto& info) {
                             return std::string(info.param.name);
                         });

TEST(SocketTransfer, BlockingReceiveTimeoutIsTimedOutAndNonBlockingIsWouldBlock) {
    test::LoopbackPair pair;
    SOCKET s = pair.client;
    char byte = 0;
    ASSERT_EQ(SetReceiveTimeout(s, 50), 0);
    EXPECT_EQ(Recv(s, &byte, 1, 0), -1);
    EXPECT_EQ(GetLastSocketError(), WsaTimedOut);

    ASSERT_EQ(SetSocketNonBlocking(s, true), 0);
    EXPECT_TRUE(IsSocketNonBlocking(s));
    EXPECT_EQ(Recv(s, &byte, 1, 0), -1);
    EXPECT_EQ(GetLastSocketError(), WsaWouldBlock);
    EXPECT_EQ(SetReceiveTimeout(s, -1), -1);
    EXPECT_EQ(GetLastSocketError(), WsaInvalidArgument);
}

TEST(SocketTransfer, BlockingSendTimeoutIsTimedOut) {
    test::LoopbackPair pair;
    SOCKET s = pair.client;
    int small = 4096;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair.server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(SetSendTimeout(s, 50), 0);
    std::string block(65536, 'x');
    int32_t result = 0;
    // The peer never reads, so the buffers fill and a send runs out its time.
    for (int i = 0; i < 1000 && result >= 0; ++i) result = Send(s, block.data(), int32_t(block.size()), 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(GetLastSocketError(), WsaTimedOut);
}

TEST(SocketTransfer, PeekLeavesDataAndSendToAClosedPeerRaisesNoSignal) {
    test::LoopbackPair pair;
    SOCKET s = pair.client;
    ASSERT_EQ(::send(pair.server, "abc", 3, 0), 3);
    ASSERT_EQ(WaitSocketReadable(s, 2'000'000), 1);
    char got[4] = {};
    EXPECT_EQ(Recv(s, got, 1, RecvPeek), 1);
    EXPECT_EQ(Recv(s, got, 3, 0), 3);
    EXPECT_EQ(std::string(got, 3), "abc");

    ::close(pair.server);
    pair.server = -1;
    // The first send may still be accepted; the ones after the reset must fail, not kill us.
    void (*previous)(int) = std::signal(SIGPIPE, SIG_DFL);
    int32_t result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = Send(s, "x", 1, 0);
        if (result >= 0) WaitSocketReadable(s, 20'000);
    }
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(result, -1);
    int32_t code = GetLastSocketError();
    EXPECT_TRUE(code == WsaShutdown || code == WsaConnectionReset) << code;
}

TEST(SocketCreation, NewSocketsSendSmallPacketsAtOnce) {
    // Request and reply alternate on the connection; Nagle's delay would stall each round trip.
    velunor::platform::SOCKET s = velunor::platform::CreateTcpSocket();
    ASSERT_GE(s, 3);
    int on = 0;
    socklen_t length = sizeof(on);
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0);
    velunor::platform::CloseSocket(s);
}

TEST(SocketHandles, ClosedOrMissingSocketsAreRefused) {
    char byte = 0;
    EXPECT_EQ(Recv(0, &byte, 1, 0), -1);
    EXPECT_EQ(GetLastSocketError(), WsaBadHandle);
    EXPECT_EQ(CloseSocket(InvalidSocket), -1);
    SOCKET s = CreateTcpSocket();
    ASSERT_GT(s, 2);
    ASSERT_EQ(CloseSocket(s), 0);
    EXPECT_EQ(WaitSocketReadable(s, 0), -1);
    EXPECT_EQ(GetLastSocketError(), WsaBadHandle);
}

TEST(SocketNames, DottedAddressesAndLookups) {
    EXPECT_EQ(ParseDottedAddress("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(FormatDottedAddress(ParseDottedAddress("10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(ParseDottedAddress("localhost"), AddressNone);
    EXPECT_EQ(ParseDottedAddress(""), AddressNone);
    EXPECT_EQ(ParseDottedAddress(nullptr), AddressNone);
    uint32_t address = 0;
    EXPECT_EQ(LookupHostIPv4("localhost", &address), 0);
    EXPECT_EQ(address, htonl(0x7F000001));
    SetLastSocketError(0);
    EXPECT_EQ(LookupHostIPv4("no-such-host.invalid", &address), WsaHostNotFound);
    EXPECT_EQ(GetLastSocketError(), WsaHostNotFound);
    EXPECT_FALSE(LocalHostName().empty());
}

}  // namespace
}  // namespace velunor::platform
