#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/CWinSocket.h"
#include "platform/Clock.h"
#include "platform/Messages.h"
#include "velunor/sftp.h"

namespace velunor {
namespace {

// Records every handler call as "name:argument".
class CRecordingSocket : public CWinSocket {
public:
    void OnReceive(int32_t e) override { calls.push_back("receive:" + std::to_string(e)); }
    void OnSend(int32_t e) override { calls.push_back("send:" + std::to_string(e)); }
    void OnAccept(int32_t e) override { calls.push_back("accept:" + std::to_string(e)); }
    void OnConnect(int32_t e) override { calls.push_back("connect:" + std::to_string(e)); }
    void OnClose(int32_t e) override { calls.push_back("close:" + std::to_string(e)); }
    void OnTimer(int32_t id) override { calls.push_back("timer:" + std::to_string(id)); }
    std::vector<std::string> calls;
};

using Calls = std::vector<std::string>;

int32_t PumpAll() {
    int32_t total = 0;
    for (int i = 0; i < 100; ++i) {
        int32_t n = SFTP_PumpMessages(0);
        if (n == 0) break;
        total += n;
    }
    return total;
}

class CWinSocketTest : public ::testing::Test {
protected:
    void TearDown() override {
        socket.reset();
        platform::UnpinMonotonicMs();
        PumpAll();
    }
    std::unique_ptr<CRecordingSocket> socket = std::make_unique<CRecordingSocket>();
};

TEST_F(CWinSocketTest, SocketEventCodesReachTheirHandlers) {
    ASSERT_NE(socket->OwnWindow(), nullptr);
    EXPECT_EQ(socket->socketHandle, 0);
    for (SocketEvent e : {SocketEvent::Read, SocketEvent::Write, SocketEvent::OutOfBand,
                          SocketEvent::Accept, SocketEvent::Connect, SocketEvent::Close})
        socket->PostSocketEvent(e, 10054);
    platform::PostMessage(socket->OwnWindow(), 1355, 0, 64);
    platform::PostMessage(socket->OwnWindow(), MessageNumber(SocketMessage::ReceiveAgain), 0, 0);
    PumpAll();
    // Out-of-band data and unknown codes call nothing; the error rides in the high half.
    EXPECT_EQ(socket->calls, (Calls{"receive:10054", "send:10054", "accept:10054",
                                    "connect:10054", "close:10054", "receive:0"}));
}

TEST_F(CWinSocketTest, HeldEventsComeOnceInOrderAfterTheReplay) {
    socket->HoldNotifications();
    socket->PostSocketEvent(SocketEvent::Read);
    platform::PostMessage(socket->OwnWindow(), platform::WM_TIMER, 1, 0);
    socket->PostSocketEvent(SocketEvent::Close, 5);
    PumpAll();
    EXPECT_TRUE(socket->calls.empty());
    EXPECT_EQ(socket->deferredMessages.size(), 3u);

    // A replay that arrives while the guard is still up leaves the queue alone.
    platform::PostMessage(socket->OwnWindow(), MessageNumber(SocketMessage::ReplayDeferred), 0, 0);
    PumpAll();
    EXPECT_TRUE(socket->calls.empty());
    EXPECT_EQ(socket->deferredMessages.size(), 3u);

    socket->ReleaseNotifications();
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"receive:0", "timer:1", "close:5"}));
    EXPECT_TRUE(socket->deferredMessages.empty());
    PumpAll();
    EXPECT_EQ(socket->calls.size(), 3u);
}

TEST_F(CWinSocketTest, EventsAfterTheHeldOnesCannotOvertakeThem) {
    socket->HoldNotifications();
    socket->PostSocketEvent(SocketEvent::Read, 1);
    PumpAll();
    // Queued during the callback but dispatched after it ended: still behind the held one.
    socket->PostSocketEvent(SocketEvent::Read, 2);
    socket->ReleaseNotifications();
    // Queued after the replay request: the replay pulls it in behind the held ones.
    socket->PostSocketEvent(SocketEvent::Read, 3);
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"receive:1", "receive:2", "receive:3"}));
}

TEST_F(CWinSocketTest, GuardsNestAndOnlyTheOutermostReleases) {
    socket->HoldNotifications();
    socket->HoldNotifications();
    socket->PostSocketEvent(SocketEvent::Read);
    PumpAll();
    socket->ReleaseNotifications();
    PumpAll();
    EXPECT_TRUE(socket->calls.empty());
    socket->ReleaseNotifications();
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"receive:0"}));
    socket->ReleaseNotifications();
    EXPECT_EQ(socket->deferNotifications, 0);
}

TEST_F(CWinSocketTest, DestroyingWithHeldRecordsDeliversNone) {
    auto* raw = socket.get();
    raw->HoldNotifications();
    for (int i = 0; i < 5; ++i) raw->PostSocketEvent(SocketEvent::Read);
    PumpAll();
    ASSERT_EQ(raw->deferredMessages.size(), 5u);
    platform::HWND window = raw->OwnWindow();
    raw->ReleaseNotifications();
    socket.reset();
    EXPECT_FALSE(platform::IsWindow(window));
    // The replay request and anything else for the window went with it.
    EXPECT_EQ(PumpAll(), 0);
}

TEST_F(CWinSocketTest, MessagesForADetachedWindowGoToDefaultProcessing) {
    platform::HWND window = socket->OwnWindow();
    platform::SetWindowUserData(window, nullptr);
    socket->PostSocketEvent(SocketEvent::Read);
    EXPECT_EQ(PumpAll(), 1);
    EXPECT_TRUE(socket->calls.empty());
    platform::SetWindowUserData(window, socket.get());
}

TEST_F(CWinSocketTest, TimerInSecondsFiresRestartsAndStops) {
    platform::PinMonotonicMs(50'000);
    ASSERT_EQ(socket->SetTimer(2, 1), 1);
    platform::AdvancePinnedMs(1999);
    PumpAll();
    EXPECT_TRUE(socket->calls.empty());
    platform::AdvancePinnedMs(1);
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"timer:1"}));

    platform::AdvancePinnedMs(1500);
    socket->SetTimer(2, 1);
    platform::AdvancePinnedMs(1500);
    PumpAll();
    EXPECT_EQ(socket->calls.size(), 1u);
    platform::AdvancePinnedMs(500);
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"timer:1", "timer:1"}));

    socket->KillTimer(1);
    platform::AdvancePinnedMs(60'000);
    PumpAll();
    EXPECT_EQ(socket->calls.size(), 2u);
}

TEST_F(CWinSocketTest, TimerTicksAreHeldByTheGuardToo) {
    platform::PinMonotonicMs(0);
    socket->SetTimer(1, 1);
    socket->HoldNotifications();
    platform::AdvancePinnedMs(1000);
    PumpAll();
    EXPECT_TRUE(socket->calls.empty());
    socket->ReleaseNotifications();
    PumpAll();
    EXPECT_EQ(socket->calls, (Calls{"timer:1"}));
}

// A host window of this layer standing in for the status-line receiver.
std::vector<std::string> statusLines;
platform::LRESULT StatusWindow(platform::HWND, uint32_t message, platform::WPARAM wParam,
                               platform::LPARAM lParam) {
    if (message == 1232) {
        auto* block = reinterpret_cast<char*>(lParam);
        statusLines.push_back(std::to_string(intptr_t(wParam)) + "|" + block);
        std::free(block);
    }
    return 0;
}

TEST_F(CWinSocketTest, StatusLinesGoOnlyToAnExistingNotifyWindow) {
    socket->PostStatus(1, "nobody listens", -1);
    EXPECT_EQ(PumpAll(), 0);

    statusLines.clear();
    platform::HWND host = platform::CreateWindow(&StatusWindow);
    socket->notifyWindow = host;
    socket->PostStatus(1, "Resolving example...\r\n", -1);
    std::string longText(600, 'a');
    socket->PostStatus(2, longText.c_str(), 7);
    PumpAll();
    ASSERT_EQ(statusLines.size(), 2u);
    EXPECT_EQ(statusLines[0], "-1|\x01Resolving example...\r\n");
    // Kind character, 514 characters of text and the NUL fill the block.
    EXPECT_EQ(statusLines[1], "7|\x02" + std::string(514, 'a'));

    platform::DestroyWindow(host);
    socket->PostStatus(1, "gone", -1);
    EXPECT_EQ(PumpAll(), 0);
    socket->notifyWindow = nullptr;
}

}  // namespace
}  // namespace velunor
