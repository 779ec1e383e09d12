#include "support/LocalPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace velunor::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// A connected socket to 127.0.0.1:port, or -1. Loopback connects answer at once, refused or not.
int ConnectLoopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a = Loopback(port);
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

uint16_t PickFreePort() {
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0) return 0;
    sockaddr_in a = Loopback(0);
    if (bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
    socklen_t len = sizeof a;
    if (getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool WaitForTcpPort(uint16_t port, std::chrono::milliseconds timeout, const std::function<bool()>& stillAlive) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Fd s(ConnectLoopback(port));
        if (s.fd >= 0) return true;
        if (stillAlive && !stillAlive()) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string ReadFirstLine(uint16_t port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Fd s(ConnectLoopback(port));
    if (s.fd < 0) return {};
    std::string line;
    while (line.size() < 1024) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{s.fd, POLLIN, 0};
        int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return {};
        char c;
        ssize_t n = read(s.fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        line += c;
    }
    return {};
}

}  // namespace velunor::test
