// What a host may do from inside its callbacks while a connection is being made (delete the
// component, disconnect), and the non-blocking connect that only the host's message loop drives.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "interop/ConnectPeers.h"
#include "support/TestAccount.h"

using namespace velunor::test;

namespace {

class ConnectCallbacks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TestAccount::Ensure());
        server = std::make_unique<SshdServer>();
        started = server->Start();
        ASSERT_TRUE(started) << server->Describe();
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { ASSERT_TRUE(started); }

    static std::unique_ptr<SshdServer> server;
    static bool started;
};
std::unique_ptr<SshdServer> ConnectCallbacks::server;
bool ConnectCallbacks::started = false;

// The callback, and for OnStateChange the state just entered, at which the host acts; with
// refuseHostKey the attempt is failing by then.
struct Moment {
    const char* name;
    const char* stateEntered;  // only for OnStateChange
    bool refuseHostKey = false;
    bool Matches(const HostClient::Event& e) const {
        return e.name == name && (stateEntered == nullptr || e.text == stateEntered);
    }
    std::string Label() const {
        return std::string(name) + (stateEntered ? stateEntered : "") + (refuseHostKey ? " (refused)" : "");
    }
    bool Succeeds() const {
        return !refuseHostKey && (std::string(name) == "OnConnected" || (stateEntered && std::string(stateEntered) == "3"));
    }
};

const Moment kMoments[] = {
    {"OnStateChange", "1"},    {"OnHostKey", nullptr},         {"OnServerInfo", nullptr},
    {"OnStateChange", "3"},    {"OnConnected", nullptr},       {"OnConnected", nullptr, true},
    {"OnDisconnect", nullptr, true},
};

TEST_F(ConnectCallbacks, DeleteFromInsideACallbackWaitsForTheOutermostCall) {
    for (const Moment& m : kMoments) {
        SCOPED_TRACE(m.Label());
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        if (m.refuseHostKey) host.hostKeyAnswer = 0;
        int32_t stateInside = -1;
        host.onEvent = [&](HostClient& h, const HostClient::Event& e) {
            if (h.Deleted() || !m.Matches(e)) return;
            h.Delete();
            // Still alive until the call that fired this callback has returned.
            stateInside = h.State();
        };
        int32_t rc = host.Connect(server->Port());
        EXPECT_TRUE(host.Deleted());
        EXPECT_GE(stateInside, 0);
        // The component has gone with the end of Connect: its pointer is refused now.
        int32_t state = -1;
        EXPECT_EQ(host.T().get_State(host.Raw(), &state), E_POINTER);
        // A deleted component tells its host nothing more.
        EXPECT_TRUE(host.After("Deleted").empty()) << host.After("Deleted").front().name;
        if (m.Succeeds()) {
            EXPECT_EQ(rc, 0);
        }
    }
}

TEST_F(ConnectCallbacks, DisconnectFromInsideACallbackEndsTheAttemptCleanly) {
    for (const Moment& m : kMoments) {
        if (m.stateEntered != nullptr || m.refuseHostKey) continue;
        SCOPED_TRACE(m.name);
        HostClient host;
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        bool done = false;
        host.onEvent = [&](HostClient& h, const HostClient::Event& e) {
            if (done || !m.Matches(e)) return;
            done = true;
            EXPECT_EQ(h.T().Disconnect(h.Raw()), 0);
        };
        int32_t rc = host.Connect(server->Port());
        if (std::string(m.name) == "OnConnected") {
            EXPECT_EQ(rc, 0);
        }
        EXPECT_EQ(host.State(), 0);
        // Disconnect reports once, and the abandoned attempt reports nothing after it.
        auto after = host.After(m.name);
        ASSERT_EQ(after.size(), 2u) << (after.empty() ? "" : after.back().name);
        EXPECT_EQ(after[0].name, "OnStateChange");
        EXPECT_EQ(after[0].text, "0");
        EXPECT_EQ(after[1].name, "OnDisconnect");

        // The component is fit for the next connection.
        host.events.clear();
        host.onEvent = nullptr;
        EXPECT_EQ(host.Connect(server->Port()), 0);
        EXPECT_EQ(host.State(), 3);
        ExpectConnectedSequence(host);
    }
}

TEST_F(ConnectCallbacks, NonBlockingAttemptEndsWithTheTimeoutOnTheHostsLoop) {
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    ASSERT_EQ(host.T().put_Timeout(host.Raw(), 1), 0);
    ASSERT_EQ(host.T().put_Blocking(host.Raw(), VARIANT_FALSE), 0);
    VARIANT name = TextArg("127.0.0.1");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(host.ConnectWith(name, IntArg(server->Port())), 0);
    VariantClear(&name);
    EXPECT_EQ(host.State(), 1);
    ASSERT_TRUE(host.PumpUntil([&] { return host.Saw("OnConnected"); }, std::chrono::seconds(10)));
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(900));

    EXPECT_EQ(host.State(), 0);
    EXPECT_EQ(host.LastError(), 1460);
    ASSERT_EQ(host.Names(), (std::vector<std::string>{"OnStateChange", "OnConnected", "OnDisconnect", "OnStateChange"}));
    EXPECT_EQ(host.events[1].code, 1460);
    EXPECT_EQ(host.events[1].text, "The current connection has timeout");
    EXPECT_EQ(host.events[3].text, "0");
}

}  // namespace
