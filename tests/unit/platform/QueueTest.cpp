#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/CMessageQueue.h"
#include "platform/Clock.h"
#include "platform/Messages.h"
#include "velunor/sftp.h"

namespace velunor::platform {
namespace {

struct Seen {
    HWND window;
    uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
};
thread_local std::vector<Seen> seen;

LRESULT Record(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
    seen.push_back({window, message, wParam, lParam});
    return 7;
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        window = CreateWindow(&Record);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        DestroyWindow(window);
        UnpinMonotonicMs();
        // Nothing of this test may leak into the next one's queue.
        while (SFTP_PumpMessages(0) != 0) {
        }
        seen.clear();
    }
    HWND window = nullptr;
};

TEST_F(QueueTest, PeekByRangeLooksOrRemovesAndKeepsOrder) {
    PostMessage(window, 1355, 0, 1);
    PostMessage(window, 1000, 0, 2);
    PostMessage(window, 1356, 0, 3);
    MSG m;
    ASSERT_TRUE(PeekMessage(&m, nullptr, 1355, 1357, PM_NOREMOVE));
    EXPECT_EQ(m.lParam, 1);
    ASSERT_TRUE(PeekMessage(&m, window, 1355, 1357, PM_REMOVE));
    EXPECT_EQ(m.lParam, 1);
    ASSERT_TRUE(PeekMessage(&m, nullptr, 1355, 1357, PM_REMOVE));
    EXPECT_EQ(m.lParam, 3);
    EXPECT_FALSE(PeekMessage(&m, nullptr, 1355, 1357, PM_REMOVE));
    ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, 1000u);
    EXPECT_EQ(DispatchMessage(&m), 7);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].window, window);
    EXPECT_EQ(seen[0].lParam, 2);
}

TEST_F(QueueTest, DestroyedWindowIsNoWindowAndLosesItsMessages) {
    HWND other = CreateWindow(&Record);
    int marker = 0;
    ASSERT_TRUE(SetWindowUserData(other, &marker));
    EXPECT_EQ(GetWindowUserData(other), &marker);
    PostMessage(other, 1355, 0, 1);
    SetTimer(other, 1, 10);
    ASSERT_TRUE(DestroyWindow(other));
    EXPECT_FALSE(IsWindow(other));
    EXPECT_EQ(GetWindowUserData(other), nullptr);
    EXPECT_FALSE(PostMessage(other, 1355, 0, 2));
    EXPECT_EQ(SetTimer(other, 1, 10), 0u);
    PinMonotonicMs(MonotonicMs());
    AdvancePinnedMs(1000);
    EXPECT_EQ(SFTP_PumpMessages(0), 0);
    EXPECT_TRUE(seen.empty());
    // A later window never takes over an old handle.
    HWND newer = CreateWindow(&Record);
    EXPECT_NE(newer, other);
    DestroyWindow(newer);
}

TEST_F(QueueTest, TimerFiresAfterItsPeriodRestartsAndStops) {
    PinMonotonicMs(1'000'000);
    ASSERT_EQ(SetTimer(window, 1, 1000), 1u);
    AdvancePinnedMs(999);
    EXPECT_EQ(SFTP_PumpMessages(0), 0);
    AdvancePinnedMs(1);
    EXPECT_EQ(SFTP_PumpMessages(0), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, WM_TIMER);
    EXPECT_EQ(seen[0].wParam, 1u);

    // A late pump gets one tick, and the next period counts from then.
    AdvancePinnedMs(5000);
    EXPECT_EQ(SFTP_PumpMessages(0), 1);
    AdvancePinnedMs(999);
    EXPECT_EQ(SFTP_PumpMessages(0), 0);

    // Restarting pushes the tick back by a whole period.
    SetTimer(window, 1, 1000);
    AdvancePinnedMs(999);
    EXPECT_EQ(SFTP_PumpMessages(0), 0);
    AdvancePinnedMs(1);
    EXPECT_EQ(SFTP_PumpMessages(0), 1);

    EXPECT_TRUE(KillTimer(window, 1));
    EXPECT_FALSE(KillTimer(window, 1));
    AdvancePinnedMs(10'000);
    EXPECT_EQ(SFTP_PumpMessages(0), 0);
}

TEST_F(QueueTest, TimerLooksWithoutRemovingAndComesAfterPostedMessages) {
    PinMonotonicMs(5000);
    SetTimer(window, 9, 10);
    AdvancePinnedMs(10);
    PostMessage(window, 1355, 0, 1);
    MSG m;
    ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, 1355u);
    ASSERT_TRUE(PeekMessage(&m, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE));
    ASSERT_TRUE(PeekMessage(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(m.wParam, 9u);
    EXPECT_FALSE(PeekMessage(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
    KillTimer(window, 9);
}

TEST_F(QueueTest, RealTimerTicksThroughABoundedPump) {
    SetTimer(window, 1, 30);
    auto start = std::chrono::steady_clock::now();
    int32_t n = 0;
    while (n == 0 && ElapsedMs(start) < 5000) n = SFTP_PumpMessages(1000);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, WM_TIMER);
    KillTimer(window, 1);
}

TEST_F(QueueTest, PumpDispatchesOnlyTheCallingThreadsMessages) {
    std::atomic<int> otherStage{0};
    std::atomic<int32_t> otherCount{-1};
    std::atomic<size_t> otherSeen{0};
    HWND otherWindow = nullptr;
    std::thread other([&] {
        otherWindow = CreateWindow(&Record);
        PostMessage(otherWindow, 1355, 0, 10);
        PostMessage(otherWindow, 1355, 0, 11);
        otherStage = 1;
        for (int i = 0; i < 500 && otherStage != 2; ++i) Sleep(10);
        otherCount = SFTP_PumpMessages(0);
        otherSeen = seen.size();
        DestroyWindow(otherWindow);
    });
    for (int i = 0; i < 500 && otherStage != 1; ++i) Sleep(10);
    ASSERT_EQ(otherStage.load(), 1);
    PostMessage(window, 1355, 0, 1);
    PostMessage(window, 1000, 0, 2);
    PostMessage(window, 1357, 0, 3);
    // Posting into another thread's window from here lands in that thread's queue.
    PostMessage(otherWindow, 1355, 0, 12);
    EXPECT_EQ(SFTP_PumpMessages(0), 3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].lParam, 1);
    EXPECT_EQ(seen[2].lParam, 3);
    MSG m;
    EXPECT_FALSE(PeekMessage(&m, otherWindow, 0, 0, PM_REMOVE));
    otherStage = 2;
    other.join();
    EXPECT_EQ(otherCount.load(), 3);
    EXPECT_EQ(otherSeen.load(), 3u);
}

TEST_F(QueueTest, PumpWaitsNoLongerThanAskedAndWakesOnAPost) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SFTP_PumpMessages(60), 0);
    int64_t waited = ElapsedMs(start);
    EXPECT_GE(waited, 55);
    EXPECT_LT(waited, 2000);

    EXPECT_EQ(SFTP_PumpMessages(0), 0);
    EXPECT_EQ(SFTP_PumpMessages(-5), 0);

    HWND target = window;
    std::thread poster([target] {
        Sleep(30);
        PostMessage(target, 1000, 0, 5);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(SFTP_PumpMessages(10'000), 1);
    EXPECT_LT(ElapsedMs(start), 5000);
    poster.join();
}

TEST_F(QueueTest, WaitEndsWhenATimerFallsDueAndDoesNotSpin) {
    SetTimer(window, 3, 40);
    auto start = std::chrono::steady_clock::now();
    clock_t cpuBefore = clock();
    EXPECT_TRUE(WaitMessage(5000));
    EXPECT_LT(ElapsedMs(start), 4000);
    // A spinning wait would burn about as much processor time as it waited.
    EXPECT_LT(double(clock() - cpuBefore) / CLOCKS_PER_SEC, 0.02);
    KillTimer(window, 3);
}

TEST_F(QueueTest, WatchedDescriptorCallsBackInsideTheWait) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(fd, 0);
    auto queue = CMessageQueue::ForCurrentThread();
    HWND target = window;
    queue->WatchDescriptor(fd, DescriptorReadable, [fd, target](short ready) {
        uint64_t v = 0;
        ssize_t got = read(fd, &v, sizeof v);
        (void)got;
        if (ready & DescriptorReadable) PostMessage(target, 1355, 0, 1);
    });
    std::thread writer([fd] {
        Sleep(20);
        uint64_t one = 1;
        ssize_t put = write(fd, &one, sizeof one);
        (void)put;
    });
    EXPECT_EQ(SFTP_PumpMessages(5000), 1);
    writer.join();
    queue->UnwatchDescriptor(fd);
    close(fd);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, 1355u);
}

TEST(ClockTest, TickWrapsAtTwoToTheThirtyTwoAndPinsHold) {
    PinMonotonicMs((uint64_t(1) << 32) - 5);
    uint32_t before = GetTickCount();
    AdvancePinnedMs(10);
    uint32_t after = GetTickCount();
    EXPECT_EQ(before, 0xFFFFFFFBu);
    EXPECT_EQ(after, 5u);
    EXPECT_EQ(uint32_t(after - before), 10u);
    UnpinMonotonicMs();

    PinProcessId(4242);
    EXPECT_EQ(GetProcessId(), 4242u);
    UnpinProcessId();
    EXPECT_EQ(GetProcessId(), uint32_t(getpid()));

    PinCurrentTime(1'000'000'000);
    EXPECT_EQ(CurrentTimeSeconds(), 1'000'000'000);
    UnpinCurrentTime();

    static uint32_t slept = 0;
    SetSleepHook([](uint32_t ms) { slept += ms; });
    Sleep(250);
    SetSleepHook(nullptr);
    EXPECT_EQ(slept, 250u);
}

}  // namespace
}  // namespace velunor::platform
