// A connection's whole life against a real server: the host's own Disconnect, connecting again,
// Abort from inside a callback, a server that goes away and a peer that never speaks.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "interop/ConnectPeers.h"
#include "support/LoopbackServer.h"
#include "support/TestAccount.h"

using namespace velunor::test;

namespace {

constexpr int32_t kAbortedByUser = 30033;
constexpr int32_t kTimedOut = 1460;

// The pids whose parent is pid, read from /proc.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long p = strtol(e->d_name, &end, 10);
        if (p <= 0 || *end != 0) continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        // The command name is in parentheses and may hold spaces: the fields follow the last ')'.
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        long parent = 0;
        rest >> state >> parent;
        if (parent == pid) out.push_back(pid_t(p));
    }
    closedir(d);
    return out;
}

class ConnectLifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TestAccount::Ensure());
        server = std::make_unique<SshdServer>();
        started = server->Start();
        ASSERT_TRUE(started) << server->Describe();
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        ASSERT_TRUE(started);
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    }

    int Count(const std::string& name) const {
        int n = 0;
        for (const auto& e : host.events) n += e.name == name;
        return n;
    }

    static std::unique_ptr<SshdServer> server;
    static bool started;
    HostClient host;
};
std::unique_ptr<SshdServer> ConnectLifecycle::server;
bool ConnectLifecycle::started = false;

TEST_F(ConnectLifecycle, DisconnectReportsOnceAndTheComponentConnectsAgain) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        host.events.clear();
        ASSERT_EQ(host.Connect(server->Port()), 0) << server->Describe();
        ExpectConnectedSequence(host);
        ASSERT_EQ(host.State(), 3);

        host.events.clear();
        EXPECT_EQ(host.T().Disconnect(host.Raw()), 0);
        EXPECT_EQ(host.State(), 0);
        ASSERT_EQ(host.Names(), (std::vector<std::string>{"OnStateChange", "OnDisconnect"}));
        EXPECT_EQ(host.events[0].text, "0");

        // A second Disconnect, and the pump afterwards, add nothing.
        EXPECT_EQ(host.T().Disconnect(host.Raw()), 0);
        host.PumpUntil([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_EQ(host.events.size(), 2u);
    }
}

TEST_F(ConnectLifecycle, AbortFromTheHostKeyCallbackEndsABlockingConnect) {
    host.onEvent = [](HostClient& h, const HostClient::Event& e) {
        if (e.name == "OnHostKey") {
            EXPECT_EQ(h.T().Abort(h.Raw()), 0);
        }
    };
    EXPECT_EQ(host.Connect(server->Port()), kAbortedByUser);
    EXPECT_EQ(host.LastError(), kAbortedByUser);
    EXPECT_EQ(host.State(), 0);
    EXPECT_EQ(Count("OnDisconnect"), 1);
    // The abandoned attempt goes no further, also while the host's loop runs on.
    host.PumpUntil([] { return false; }, std::chrono::milliseconds(500));
    // Handlers of the same read may still run before Connect sees the flag; nothing does after.
    // An ended attempt reports its last state change after OnDisconnect, and then nothing more.
    auto after = host.After("OnDisconnect");
    ASSERT_EQ(after.size(), 1u) << after.back().name;
    EXPECT_EQ(after[0].name, "OnStateChange");
    EXPECT_EQ(after[0].text, "0");
    EXPECT_EQ(host.State(), 0);

    // Nothing of the aborted attempt is left over for the next one.
    host.onEvent = nullptr;
    host.events.clear();
    ASSERT_EQ(host.Connect(server->Port()), 0);
    ExpectConnectedSequence(host);
    host.T().Disconnect(host.Raw());
}

// The server's side of the connection dies while the client is idle: the component finds out
// when it next reads, ends in state 0 and tells the host once.
TEST_F(ConnectLifecycle, ServerGoingAwayEndsTheConnection) {
    SshdServer own;
    ASSERT_TRUE(own.Start()) << own.Describe();
    ASSERT_EQ(host.Connect(own.Port()), 0) << own.Describe();
    ASSERT_EQ(host.State(), 3);
    host.events.clear();

    // The listener and every process serving this connection, each by its pid.
    std::vector<pid_t> tree = ChildrenOf(own.Pid());
    for (size_t i = 0; i < tree.size(); ++i)
        for (pid_t c : ChildrenOf(tree[i])) tree.push_back(c);
    ASSERT_FALSE(tree.empty());
    for (pid_t p : tree) kill(p, SIGKILL);
    own.Stop();

    // The component learns of it when it next looks at the socket: the probe first, then a
    // blocking method, whose wait finds the connection dead and ends it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (host.T().PollReceive(host.Raw()) != 0 && std::chrono::steady_clock::now() < deadline)
        host.PumpUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(host.T().PollReceive(host.Raw()), 0);
    VARIANT path = TextArg("/");
    EXPECT_NE(host.T().ListDirectory(host.Raw(), path), 0);
    VariantClear(&path);
    EXPECT_EQ(host.State(), 0);
    EXPECT_EQ(Count("OnDisconnect"), 1);
    EXPECT_TRUE(host.Saw("OnStateChange"));
}

// A peer that accepts the connection and never says a word: the time-out ends the attempt.
TEST_F(ConnectLifecycle, SilentPeerTripsTheTimeout) {
    LoopbackServer silent;
    ASSERT_EQ(host.T().put_Timeout(host.Raw(), 2), 0);
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Connect(silent.Port()), kTimedOut);
    auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(20));
    EXPECT_EQ(host.State(), 0);
    EXPECT_EQ(host.LastError(), kTimedOut);
    EXPECT_EQ(Count("OnDisconnect"), 1);
    ASSERT_EQ(Count("OnConnected"), 1);
    for (const auto& e : host.events)
        if (e.name == "OnConnected") {
            EXPECT_EQ(e.code, kTimedOut);
        }
}

}  // namespace
