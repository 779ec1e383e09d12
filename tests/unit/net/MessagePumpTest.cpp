#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "net/CPumpTarget.h"
#include "net/CSshConnection.h"
#include "net/MessagePump.h"
#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"
#include "support/LoopbackServer.h"
#include "velunor/sftp.h"

namespace velunor {
namespace {

class CPumpedConnection;

// A component as far as the pump sees one.
class CTestTarget : public CPumpTarget {
public:
    int32_t PendingEvents() const override { return pendingEvents; }
    bool Blocking() const override { return blocking; }
    int32_t ConnectionState() const override { return state; }
    int32_t ProxyType() const override { return proxyType; }
    CSshConnection* Connection() override;
    std::mutex& SocketLock() override { return lock; }
    void Disconnect() override { ++disconnects; }

    int32_t pendingEvents = 0;
    bool blocking = true;
    int32_t state = 3;
    int32_t proxyType = 0;
    int disconnects = 0;
    std::mutex lock;
    std::unique_ptr<CPumpedConnection> connection;
};

class CPumpedConnection : public CSshConnection {
public:
    explicit CPumpedConnection(CTestTarget* owner) : CSshConnection(nullptr, 32768), target(owner) {}
    void OnReceive(int32_t error) override {
        receives.push_back(error);
        char buffer[256];
        int32_t n = platform::Recv(socketHandle, buffer, sizeof buffer, 0);
        if (n > 0) received.append(buffer, size_t(n));
        if (destroyOnReceive) target->connection.reset();  // as a failed attempt does
    }
    void OnSend(int32_t error) override { sends.push_back(error); }
    void FlushSftpQueue() override {
        flushedWhileWritable.push_back(writable);
        sftpOut.Clear();
    }
    CTestTarget* target;
    std::vector<int32_t> receives;
    std::vector<int32_t> sends;
    std::vector<bool> flushedWhileWritable;
    std::string received;
    bool destroyOnReceive = false;
};

CSshConnection* CTestTarget::Connection() { return connection.get(); }

// Other messages of the thread, as a host window would get them.
std::vector<uint32_t> hostMessages;
platform::LRESULT HostWindow(platform::HWND, uint32_t message, platform::WPARAM, platform::LPARAM) {
    hostMessages.push_back(message);
    return 0;
}

class MessagePumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostMessages.clear();
        host = platform::CreateWindow(&HostWindow);
        target.connection = std::make_unique<CPumpedConnection>(&target);
        target.connection->socketHandle = pair.ReleaseClient();
    }
    void TearDown() override {
        target.connection.reset();
        platform::DestroyWindow(host);
        while (SFTP_PumpMessages(0) != 0) {
        }
    }
    CPumpedConnection& Connection() { return *target.connection; }
    platform::SOCKET Socket() { return target.connection->socketHandle; }
    void PeerSends(const char* text) {
        ASSERT_EQ(::send(pair.server, text, strlen(text), 0), ssize_t(strlen(text)));
        ASSERT_EQ(platform::WaitSocketReadable(Socket(), 2'000'000), 1);
    }
    void PeerCloses() {
        ::close(pair.server);
        pair.server = -1;
        ASSERT_EQ(platform::WaitSocketReadable(Socket(), 2'000'000), 1);
    }

    test::LoopbackPair pair;
    CTestTarget target;
    platform::HWND host = nullptr;
};

TEST_F(MessagePumpTest, ProbeTellsClosedIdleAndPendingApartAndLeavesBlockingMode) {
    platform::SetSocketNonBlocking(Socket(), true);
    EXPECT_EQ(PollReceive(target), 1);
    EXPECT_FALSE(platform::IsSocketNonBlocking(Socket()));

    PeerSends("data");
    platform::SetSocketNonBlocking(Socket(), true);
    EXPECT_EQ(PollReceive(target), 1);
    EXPECT_FALSE(platform::IsSocketNonBlocking(Socket()));
    char buffer[8] = {};
    EXPECT_EQ(platform::Recv(Socket(), buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "data");

    PeerCloses();
    EXPECT_EQ(PollReceive(target), 0);
    EXPECT_FALSE(platform::IsSocketNonBlocking(Socket()));
}

TEST_F(MessagePumpTest, ProbeWithoutAUsableSocketIsDead) {
    std::mutex lock;
    EXPECT_EQ(PollReceive(0, lock), 0);
    EXPECT_EQ(PollReceive(platform::InvalidSocket, lock), 0);
    platform::SOCKET closed = platform::CreateTcpSocket();
    platform::CloseSocket(closed);
    EXPECT_EQ(PollReceive(closed, lock), 0);
    target.connection.reset();
    EXPECT_EQ(PollReceive(target), 0);
}

TEST_F(MessagePumpTest, NonBlockingStepLeavesTheSocketAloneAndWaitsForAMessage) {
    target.blocking = false;
    PeerSends("unread");
    platform::SetSocketNonBlocking(Socket(), true);
    platform::HWND window = host;
    std::thread poster([window] {
        platform::Sleep(30);
        platform::PostMessage(window, 1000, 0, 0);
    });
    PumpOnce(target);
    poster.join();
    EXPECT_EQ(hostMessages, (std::vector<uint32_t>{1000}));
    EXPECT_TRUE(Connection().receives.empty());
    // Still non-blocking and the data still there: the step never probed or read.
    EXPECT_TRUE(platform::IsSocketNonBlocking(Socket()));
    char buffer[8] = {};
    EXPECT_EQ(platform::Recv(Socket(), buffer, sizeof buffer, platform::RecvPeek), 6);
}

TEST_F(MessagePumpTest, BlockingStepHandsReadableDataToOnReceive) {
    PeerSends("hello");
    PumpOnce(target);
    EXPECT_EQ(Connection().receives, (std::vector<int32_t>{0}));
    EXPECT_EQ(Connection().received, "hello");
    EXPECT_EQ(target.disconnects, 0);
}

TEST_F(MessagePumpTest, BlockingStepDisconnectsADeadConnectionExceptWhileConnecting) {
    PeerCloses();
    target.state = 1;
    PumpOnce(target);
    EXPECT_EQ(target.disconnects, 0);
    target.state = 3;
    PumpOnce(target);
    EXPECT_EQ(target.disconnects, 1);
}

TEST_F(MessagePumpTest, PendingEventBitsStopTheStepBeforeAnything) {
    target.pendingEvents = 0x10;
    PeerSends("x");
    platform::PostMessage(host, 1000, 0, 0);
    PumpOnce(target);
    EXPECT_TRUE(Connection().receives.empty());
    EXPECT_TRUE(hostMessages.empty());
}

TEST_F(MessagePumpTest, IdleBlockingStepFlushesSftpOutputAsWritable) {
    Connection().sftpOut.Append("abc", 3);
    PumpOnce(target);
    EXPECT_EQ(Connection().flushedWhileWritable, (std::vector<bool>{true}));
    EXPECT_FALSE(Connection().writable);
}

TEST_F(MessagePumpTest, HandlerThatDestroysTheConnectionIsNotTouchedAfterwards) {
    target.state = 1;
    target.proxyType = 1;
    Connection().proxyType = 1;
    Connection().proxyState = 1;
    Connection().destroyOnReceive = true;
    PeerSends("reply");
    PumpOnce(target);
    EXPECT_EQ(target.connection, nullptr);
}

TEST_F(MessagePumpTest, StepDeliversAllSocketMessagesButOneOther) {
    target.blocking = false;
    platform::PostMessage(host, 1000, 0, 0);
    platform::PostMessage(host, 1001, 0, 0);
    for (int i = 0; i < 3; ++i) Connection().PostSocketEvent(SocketEvent::Write);
    platform::PinMonotonicMs(platform::MonotonicMs());
    Connection().SetTimer(1, 7);
    platform::AdvancePinnedMs(1000);
    PumpOnce(target);
    EXPECT_EQ(Connection().sends.size(), 3u);
    // The due timer goes before the host's messages, and only one of them per step.
    EXPECT_TRUE(hostMessages.empty());
    PumpOnce(target);
    EXPECT_EQ(hostMessages, (std::vector<uint32_t>{1000}));
    platform::UnpinMonotonicMs();
    Connection().KillTimer(7);
}

}  // namespace
}  // namespace velunor
