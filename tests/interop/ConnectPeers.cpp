#include "interop/ConnectPeers.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

#include "platform/Sockets.h"
#include "support/KeyTools.h"
#include "support/ProcessRunner.h"

namespace velunor::test {

::testing::AssertionResult Peer::Start(PeerKind kind, const SshdOptions& sshdOptions,
                                       const AsyncSshOptions& asyncOptions) {
    if (kind == PeerKind::Sshd) {
        sshd = std::make_unique<SshdServer>();
        return sshd->Start(sshdOptions);
    }
    asyncssh = std::make_unique<AsyncSshServer>();
    return asyncssh->Start(asyncOptions);
}

uint16_t Peer::Port() const { return sshd ? sshd->Port() : asyncssh ? asyncssh->Port() : 0; }

std::string Peer::HostKeyMd5(const std::string& algorithm) const {
    return sshd ? sshd->HostKeyMd5(algorithm) : asyncssh ? asyncssh->HostKeyMd5(algorithm) : std::string();
}

bool Peer::AddAuthorizedKey(const std::string& publicLine) const {
    return sshd ? sshd->AddAuthorizedKey(publicLine) : asyncssh && asyncssh->AddAuthorizedKey(publicLine);
}

std::string Peer::Describe() const {
    return sshd ? sshd->Describe() : asyncssh ? asyncssh->Describe() : std::string("no server");
}

namespace {

// The public line ssh-keygen derives from the private key file, comment dropped.
std::string PublicLineOf(const std::string& privatePath) {
    CommandResult r = RunCommand("/usr/bin/ssh-keygen", {"-y", "-f", privatePath});
    if (!r.Ok()) return {};
    std::string line = r.out.substr(0, r.out.find('\n'));
    size_t type = line.find(' ');
    size_t comment = type == std::string::npos ? std::string::npos : line.find(' ', type + 1);
    return comment == std::string::npos ? line : line.substr(0, comment);
}

ClientKey MakeClientKey(const CKeyDir& dir, const std::string& type) {
    std::string path = dir.File("client_" + type);
    int rc = -1;
    if (type == "rsa") {
        rc = RunTool({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path});
    } else {
        std::string params = path + ".params";
        rc = RunTool({"openssl", "genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:1024",
                      "-pkeyopt", "dsa_paramgen_q_bits:160", "-out", params});
        if (rc == 0) rc = RunTool({"openssl", "genpkey", "-paramfile", params, "-out", path});
    }
    ClientKey key;
    if (rc != 0) return key;
    chmod(path.c_str(), 0600);  // ssh-keygen reads no private key others could read
    EvpPkeyPtr loaded = LoadPrivateKey(path);
    key.blob = PrivateBlobOf(loaded.get());
    key.publicLine = PublicLineOf(path);
    return key;
}

}  // namespace

const ClientKey& OpensslClientKey(const std::string& type) {
    static std::mutex lock;
    static CKeyDir dir;
    static std::map<std::string, ClientKey> made;
    std::lock_guard<std::mutex> hold(lock);
    auto it = made.find(type);
    if (it == made.end()) it = made.emplace(type, MakeClientKey(dir, type)).first;
    return it->second;
}

void ExpectConnectedSequence(const HostClient& host) {
    std::vector<std::string> expected = {"OnStateChange", "OnHostKey", "OnServerInfo", "OnStateChange", "OnConnected"};
    ASSERT_EQ(host.Names(), expected);
    const auto& e = host.events;
    EXPECT_EQ(e[0].code, 0);  // previous state
    EXPECT_EQ(e[0].text, "1");
    EXPECT_EQ(e[3].code, 1);
    EXPECT_EQ(e[3].text, "3");
    EXPECT_EQ(e[4].code, 0);
    EXPECT_EQ(e[4].text, "");
}

namespace {

bool IsReservedInvalid(const char* name) {
    std::string n = name ? name : "";
    while (!n.empty() && n.back() == '.') n.pop_back();
    const std::string suffix = ".invalid";
    return n == "invalid" || (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0);
}

int32_t LocalFirstResolver(const char* name, uint32_t* address) {
    if (IsReservedInvalid(name)) return platform::WsaHostNotFound;
    return platform::SystemResolveIPv4(name, address);
}

}  // namespace

ReservedNamesStayLocal::ReservedNamesStayLocal() { platform::SetResolver(&LocalFirstResolver); }
ReservedNamesStayLocal::~ReservedNamesStayLocal() { platform::SetResolver(nullptr); }

}  // namespace velunor::test
