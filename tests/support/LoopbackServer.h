#pragma once

#include <cstdint>
#include <string>

namespace velunor::test {

// A listening TCP socket on 127.0.0.1 with an ephemeral port, for tests that need a real peer.
// Every wait is bounded; the destructor closes what is still open.
class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t Port() const { return port; }
    // Accepts one connection within timeoutMs; false if none came.
    bool Accept(int timeoutMs = 5000);
    // Writes all bytes to the accepted peer.
    bool Send(const std::string& bytes);
    // Reads what has arrived within timeoutMs (empty on time-out or close).
    std::string Receive(int timeoutMs = 5000);
    // Closes the accepted connection (an orderly close the client sees as end of stream).
    void ClosePeer();
    // Hands the accepted connection over; the server no longer closes it.
    int TakePeer();

    // A port on 127.0.0.1 that nothing listens on (bound and released), for refused connects.
    static uint16_t UnusedPort();

private:
    int listener = -1;
    int peer = -1;
    uint16_t port = 0;
};

// A connected pair of TCP sockets on 127.0.0.1 made without the component: client is the end the
// code under test uses, server the test's own.
struct LoopbackPair {
    LoopbackPair();
    ~LoopbackPair();
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    // Hands the client end over; the pair no longer closes it.
    int ReleaseClient();

    int client = -1;
    int server = -1;
};

}  // namespace velunor::test
