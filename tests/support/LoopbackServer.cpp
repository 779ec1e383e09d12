#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace velunor::test {
namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t BoundPort(int s) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

LoopbackServer::LoopbackServer() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("socket");
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = LoopbackAddress(0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 8) != 0)
        throw std::runtime_error("bind/listen");
    port = BoundPort(listener);
}

LoopbackServer::~LoopbackServer() {
    ClosePeer();
    if (listener >= 0) ::close(listener);
}

bool LoopbackServer::Accept(int timeoutMs) {
    if (!WaitFor(listener, POLLIN, timeoutMs)) return false;
    ClosePeer();
    peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return peer >= 0;
}

bool LoopbackServer::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string LoopbackServer::Receive(int timeoutMs) {
    if (peer < 0 || !WaitFor(peer, POLLIN, timeoutMs)) return {};
    char buffer[4096];
    ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

int LoopbackServer::TakePeer() {
    int s = peer;
    peer = -1;
    return s;
}

void LoopbackServer::ClosePeer() {
    if (peer >= 0) ::close(peer);
    peer = -1;
}

uint16_t LoopbackServer::UnusedPort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    uint16_t p = BoundPort(s);
    ::close(s);
    return p;
}

LoopbackPair::LoopbackPair() {
    LoopbackServer listener;
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(listener.Port());
    if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect");
    if (!listener.Accept(5000)) throw std::runtime_error("accept");
    server = listener.TakePeer();
}

LoopbackPair::~LoopbackPair() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
}

int LoopbackPair::ReleaseClient() {
    int s = client;
    client = -1;
    return s;
}

}  // namespace velunor::test
