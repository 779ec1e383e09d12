#pragma once

// What the connection tests share: a real server of either kind behind one face, client keys
// made by openssl, the callback order of a good connection, and a resolver that keeps reserved
// names off the network.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/AsyncSshServer.h"
#include "support/HostClient.h"
#include "support/SshdServer.h"

namespace velunor::test {

enum class PeerKind { Sshd, AsyncSsh };

// One running server, either sshd or asyncssh, as the tests need it.
class Peer {
public:
    ::testing::AssertionResult Start(PeerKind kind, const SshdOptions& sshdOptions = {},
                                     const AsyncSshOptions& asyncOptions = {});
    uint16_t Port() const;
    std::string HostKeyMd5(const std::string& algorithm) const;
    bool AddAuthorizedKey(const std::string& publicLine) const;
    std::string Describe() const;

private:
    std::unique_ptr<SshdServer> sshd;
    std::unique_ptr<AsyncSshServer> asyncssh;
};

// A client key pair made by openssl ("rsa" 2048 bits or "dsa" 1024 bits), once per process:
// the component's private key blob and the public line for authorized_keys (from ssh-keygen).
struct ClientKey {
    std::vector<uint8_t> blob;
    std::string publicLine;
};
const ClientKey& OpensslClientKey(const std::string& type);

// The callbacks of a blocking connect that reaches the idle state, in order, each once.
void ExpectConnectedSequence(const HostClient& host);

// Names under .invalid never resolve (they are reserved for that), so while one of these lives
// such a name fails at once here instead of being asked of the system's name servers; every
// other name goes to the system resolver as usual.
class ReservedNamesStayLocal {
public:
    ReservedNamesStayLocal();
    ~ReservedNamesStayLocal();
    ReservedNamesStayLocal(const ReservedNamesStayLocal&) = delete;
    ReservedNamesStayLocal& operator=(const ReservedNamesStayLocal&) = delete;
};

}  // namespace velunor::test
