// User authentication against real servers: password, keyboard-interactive with and without
// the host answering the prompts, public keys made by openssl, and which methods each
// AuthenticationType lets the client try.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "interop/ConnectPeers.h"
#include "support/TestAccount.h"

using namespace velunor::test;

namespace {

constexpr int32_t kLoginRefused = 30015;

enum class KeyUse { None, Rsa, Dsa, RsaNotAuthorized };

struct AuthCase {
    const char* name;
    PeerKind kind;
    std::function<void(SshdOptions&, AsyncSshOptions&)> configure;
    int32_t authenticationType;
    KeyUse key;
    std::string password;
    std::vector<std::string> promptAnswers;  // empty: the default answer stands
    bool withOnPrompt;
    int32_t expected;
    std::vector<std::string> promptsSeen;  // the OnPrompt texts, in order
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.name; }

class ConnectAuth : public ::testing::TestWithParam<AuthCase> {};

TEST_P(ConnectAuth, LogsInOrIsRefused) {
    const AuthCase& c = GetParam();
    ASSERT_TRUE(TestAccount::Ensure());
    SshdOptions sshdOptions;
    AsyncSshOptions asyncOptions;
    if (c.configure) c.configure(sshdOptions, asyncOptions);
    Peer peer;
    ASSERT_TRUE(peer.Start(c.kind, sshdOptions, asyncOptions)) << peer.Describe();

    HostClient host;
    host.SetLogin(TestAccount::kUser, c.password);
    if (c.key != KeyUse::None) {
        const ClientKey& key = OpensslClientKey(c.key == KeyUse::Dsa ? "dsa" : "rsa");
        ASSERT_FALSE(key.blob.empty());
        ASSERT_FALSE(key.publicLine.empty());
        ASSERT_EQ(host.SetPrivateKey(key.blob), 0);
        if (c.key != KeyUse::RsaNotAuthorized) {
            ASSERT_TRUE(peer.AddAuthorizedKey(key.publicLine));
        }
    }
    ASSERT_EQ(host.T().put_AuthenticationType(host.Raw(), c.authenticationType), 0);
    host.promptAnswers = c.promptAnswers;
    if (!c.withOnPrompt) host.Events().OnPrompt = nullptr;

    EXPECT_EQ(host.Connect(peer.Port()), c.expected) << peer.Describe();
    std::vector<std::string> prompts;
    for (const auto& e : host.events)
        if (e.name == "OnPrompt") prompts.push_back(e.text);
    EXPECT_EQ(prompts, c.promptsSeen);
    if (c.expected == 0) {
        EXPECT_EQ(host.State(), 3);
        EXPECT_EQ(host.Names().back(), "OnConnected");
    } else {
        EXPECT_EQ(host.State(), 0);
        EXPECT_EQ(host.LastError(), c.expected);
        ASSERT_GE(host.events.size(), 3u);
        const auto& connected = host.events[host.events.size() - 3];
        EXPECT_EQ(connected.name, "OnConnected");
        EXPECT_EQ(connected.code, c.expected);
        EXPECT_EQ(connected.text, "Invalid username or password reported by server");
    }
}

auto Sshd(std::function<void(SshdOptions&)> f = {}) {
    return [f](SshdOptions& s, AsyncSshOptions&) {
        if (f) f(s);
    };
}

auto Async(std::vector<std::string> methods, std::function<void(AsyncSshOptions&)> f = {}) {
    return [methods, f](SshdOptions&, AsyncSshOptions& a) {
        a.authMethods = methods;
        if (f) f(a);
    };
}

const std::string kGood = TestAccount::kPassword;

const AuthCase kAuthCases[] = {
    {"PasswordSshd", PeerKind::Sshd, Sshd([](SshdOptions& s) { s.kbdInteractiveAuthentication = false; }), 1,
     KeyUse::None, kGood, {}, true, 0, {}},
    // Password first, then keyboard-interactive with the same wrong password, then the refusal.
    {"WrongPasswordSshd", PeerKind::Sshd, Sshd(), 1, KeyUse::None, "not-the-password", {}, true, kLoginRefused, {"Password: "}},
    // sshd's keyboard-interactive goes through PAM; without OnPrompt the password answers.
    {"KeyboardWithoutOnPromptSshd", PeerKind::Sshd, Sshd([](SshdOptions& s) { s.passwordAuthentication = false; }),
     1, KeyUse::None, kGood, {}, false, 0, {}},
    {"KeyboardTwoPromptsAnswered", PeerKind::AsyncSsh,
     Async({"keyboard-interactive"},
           [](AsyncSshOptions& a) {
               a.kbdPrompts = {{"First code: ", false, "alpha-1"}, {"Second code: ", true, "beta-2"}};
           }),
     4, KeyUse::None, kGood, {"alpha-1", "beta-2"}, true, 0, {"First code: ", "Second code: "}},
    {"KeyboardDefaultAnswerIsThePassword", PeerKind::AsyncSsh, Async({"keyboard-interactive"}), 4, KeyUse::None,
     kGood, {}, true, 0, {"Password: "}},
    {"PublicKeyRsaSshd", PeerKind::Sshd, Sshd([](SshdOptions& s) { s.authenticationMethods = "publickey"; }), 2,
     KeyUse::Rsa, "", {}, true, 0, {}},
    {"PublicKeyDsaSshd", PeerKind::Sshd, Sshd([](SshdOptions& s) { s.authenticationMethods = "publickey"; }), 2,
     KeyUse::Dsa, "", {}, true, 0, {}},
    {"PublicKeyRsaAsync", PeerKind::AsyncSsh, Async({"publickey"}), 2, KeyUse::Rsa, "", {}, true, 0, {}},
    // Type 0 tries the key first; refused, the password still gets in.
    {"AnyFallsBackFromKeyToPassword", PeerKind::AsyncSsh, Async({"publickey", "password"}), 0,
     KeyUse::RsaNotAuthorized, kGood, {}, true, 0, {}},
    {"AnyWithKeyOnlyServer", PeerKind::AsyncSsh, Async({"publickey"}), 0, KeyUse::Dsa, "", {}, true, 0, {}},
    {"PasswordTypeNeverOffersTheKey", PeerKind::AsyncSsh, Async({"publickey"}), 1, KeyUse::Rsa, kGood, {}, true,
     kLoginRefused, {}},
    {"KeyTypeNeverSendsThePassword", PeerKind::AsyncSsh, Async({"password", "keyboard-interactive"}), 2,
     KeyUse::Rsa, kGood, {}, true, kLoginRefused, {}},
    {"KeyTypeWithUnknownKey", PeerKind::AsyncSsh, Async({"publickey"}), 2, KeyUse::RsaNotAuthorized, "", {}, true,
     kLoginRefused, {}},
    // No server here speaks SecurID: the refusal after "none" is all there is to see.
    {"SecurIdNotOffered", PeerKind::AsyncSsh, Async({"password", "keyboard-interactive", "publickey"}), 3,
     KeyUse::None, kGood, {}, true, kLoginRefused, {}},
    {"KeyboardTypeNeverSendsThePassword", PeerKind::AsyncSsh, Async({"password"}), 4, KeyUse::None, kGood, {},
     true, kLoginRefused, {}},
};

INSTANTIATE_TEST_SUITE_P(Table, ConnectAuth, ::testing::ValuesIn(kAuthCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
