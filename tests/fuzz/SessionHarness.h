#pragma once

// A component with its connection on one end of a socket pair; the harness plays the server on
// the other. Before the first key switch SSH packets travel in clear, so the server side frames
// its messages with a packet layer of its own and reads the client's the same way. Read events
// are delivered by hand, inside a call-depth scope as the pump would, so a connection the
// component retires mid-handler is freed only after the handler returns.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/CWideString.h"
#include "client/CSftpClient.h"
#include "client/CallDepth.h"
#include "net/CSshConnection.h"
#include "platform/Sockets.h"
#include "ssh/CSshPacketLayer.h"
#include "velunor/sftp.h"

namespace velunor::fuzz {

using WireBytes = std::vector<uint8_t>;

// Field writers for message payloads.
struct Payload {
    WireBytes b;
    Payload& U8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Payload& U32(uint32_t v) {
        for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Payload& S(std::string_view s) {
        U32(uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Payload& S(std::span<const uint8_t> s) {
        U32(uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Payload& Raw(std::span<const uint8_t> s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
};

// What the component reported through its callbacks.
struct SessionRecord {
    std::vector<int32_t> connected;  // OnConnected codes
    int disconnects = 0;
    std::vector<std::string> texts;
    std::vector<int32_t> results;
};

inline SessionRecord*& CurrentSessionRecord() {
    static SessionRecord* r = nullptr;
    return r;
}

class SessionHarness {
public:
    struct Message {
        uint8_t type;
        WireBytes payload;
    };

    explicit SessionHarness(int32_t bufferSize = 32768) {
        CurrentSessionRecord() = &record;
        events.OnConnected = [](::CSftpClient*, int32_t code, const char*) {
            if (auto* r = CurrentSessionRecord()) r->connected.push_back(code);
        };
        events.OnDisconnect = [](::CSftpClient*) {
            if (auto* r = CurrentSessionRecord()) ++r->disconnects;
        };
        events.OnText = [](::CSftpClient*, const char* text) {
            if (auto* r = CurrentSessionRecord()) r->texts.emplace_back(text);
        };
        events.OnResult = [](::CSftpClient*, int32_t code, const char*) {
            if (auto* r = CurrentSessionRecord()) r->results.push_back(code);
        };
        client = static_cast<CSftpClient*>(SFTP_Create(&events));
        if (client == nullptr) return;
        client->bufferSize = bufferSize;
        client->Username = CWideString("user");
        client->Password = CWideString("secret");
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        serverFd = fds[1];
        client->session.reset(new CSshConnection(client, bufferSize));
        client->session->socketHandle = fds[0];
        client->state = StateConnecting;
    }

    ~SessionHarness() {
        if (client != nullptr) SFTP_Delete(client);
        if (serverFd >= 0) close(serverFd);
        // Events the connection posted to its own window die with it.
        while (SFTP_PumpMessages(0) != 0) {
        }
        CurrentSessionRecord() = nullptr;
    }
    SessionHarness(const SessionHarness&) = delete;
    SessionHarness& operator=(const SessionHarness&) = delete;

    bool Ready() const { return client != nullptr && client->session && serverFd >= 0; }
    CSshConnection* Session() const { return client ? client->session.get() : nullptr; }
    bool SocketOpen() const { return Session() && Session()->socketHandle > 0; }

    // Writes bytes for the client, giving it a read event whenever some wait, as the socket
    // layer would. The client's own output is collected as it goes.
    void Deliver(std::span<const uint8_t> bytes) {
        size_t at = 0;
        int stalls = 0;
        while (at < bytes.size() && SocketOpen() && stalls < 1000) {
            ssize_t n = send(serverFd, bytes.data() + at, std::min<size_t>(bytes.size() - at, 16384), MSG_NOSIGNAL);
            if (n > 0) {
                at += size_t(n);
                stalls = 0;
            } else {
                ++stalls;
            }
            Pump();
        }
    }
    void Deliver(std::string_view text) {
        Deliver(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }

    // Read events until the client's end has nothing waiting (bounded: each one consumes bytes).
    void Pump() {
        for (int i = 0; i < 10000 && SocketOpen() && platform::WaitSocketReadable(Session()->socketHandle, 0) > 0;
             ++i) {
            {
                CCallDepth scope;
                Session()->OnReceive(0);
            }
            Collect();
        }
        Collect();
    }

    // One clear-text SSH packet.
    static WireBytes Packet(uint8_t type, std::span<const uint8_t> payload) {
        struct Sink : CSshPacketLayer::Sink {
            WireBytes out;
            int Send(std::span<const uint8_t> b) override {
                out.insert(out.end(), b.begin(), b.end());
                return int(b.size());
            }
        } sink;
        CSshPacketLayer layer;
        layer.BeginPacket(type);
        for (uint8_t v : payload) layer.PutByte(v);
        if (!layer.SendPacket(sink)) return {};
        return sink.out;
    }
    static WireBytes Packet(uint8_t type, const Payload& p = Payload()) { return Packet(type, p.b); }
    void Send(uint8_t type, const Payload& p = Payload()) { Deliver(Packet(type, p)); }

    // The server's version line, answered by the client's.
    bool Identify(std::string_view line = "SSH-2.0-TestServer\r\n") {
        Deliver(line);
        return Session() && Session()->identified == 1;
    }

    // The channel as it stands once the "sftp" subsystem is running (or, with state 3, requested).
    void OpenChannel(int32_t sessionState = CSshSession::ChannelReady) {
        CSshConnection* s = Session();
        s->sessionState = sessionState;
        s->remoteChannel = 7;
        s->remoteWindow = 1 << 20;
        s->remoteMaxPacket = 32768;
        s->writable = true;
        if (sessionState == CSshSession::ChannelReady) {
            client->sftpSink = s;
            client->state = StateIdle;
            client->operationState = OpState::None;
        }
    }

    // A server KEXINIT the client can agree with.
    static Payload KexInit(std::string_view kex = "diffie-hellman-group1-sha1", std::string_view cipher = "aes128-cbc") {
        Payload p;
        for (int i = 0; i < 16; ++i) p.U8(uint8_t(i));
        p.S(kex).S("ssh-rsa").S(cipher).S(cipher).S("hmac-sha1").S("hmac-sha1").S("none").S("none").S("").S("");
        return p.U8(0).U32(0);
    }

    // Where a handler meets its message: each stage is reached the way a real server would
    // lead there, or by setting the session's fields where that is what a server could do.
    enum class Stage : uint8_t {
        Identified = 0,  // version lines exchanged, nothing else
        KexStarted = 1,  // the server's KEXINIT answered with the client's and KEXDH_INIT
        Auth = 2,        // "none" refused, methods not yet known
        Keyboard = 3,    // keyboard-interactive under way
        Subsystem = 4,   // channel open, "sftp" requested
        Ready = 5,       // SFTP running
    };
    static constexpr int Stages = 6;

    bool Enter(Stage stage) {
        if (!Ready() || !Identify()) return false;
        CSshConnection* s = Session();
        switch (stage) {
            case Stage::Identified: break;
            case Stage::KexStarted:
                Send(20, KexInit());
                if (!Session()) return false;
                break;
            case Stage::Auth:
                s->tryNone = 0;
                s->methodsKnown = 0;
                break;
            case Stage::Keyboard:
                s->tryNone = 0;
                s->methodsKnown = 1;
                s->publicKeyPhase = 0;
                break;
            case Stage::Subsystem: OpenChannel(CSshSession::ChannelSubsystem); break;
            case Stage::Ready: OpenChannel(CSshSession::ChannelReady); break;
        }
        sent.clear();
        return Session() != nullptr;
    }

    // Everything the client has written: its identification line, then clear-text packets.
    void Collect() {
        uint8_t chunk[16384];
        for (;;) {
            ssize_t n = recv(serverFd, chunk, sizeof chunk, 0);
            if (n == 0) peerClosed = true;
            if (n <= 0) break;
            if (clientLine.empty() || clientLine.back() != '\n') {
                ssize_t i = 0;
                while (i < n && (clientLine.empty() || clientLine.back() != '\n')) clientLine.push_back(char(chunk[i++]));
                if (i < n && !fromClient.Feed(chunk + i, uint32_t(n - i))) broken = true;
            } else if (!fromClient.Feed(chunk, uint32_t(n))) {
                broken = true;
            }
            for (;;) {
                uint8_t type = fromClient.NextMessage();
                if (type == CSshPacketLayer::NoMessage) break;
                if (type == CSshPacketLayer::Malformed) {
                    broken = true;
                    break;
                }
                auto p = fromClient.Payload();
                sent.push_back({type, WireBytes(p.begin(), p.end())});
            }
        }
    }

    // The types of what the client sent, in order.
    std::vector<uint8_t> SentTypes() const {
        std::vector<uint8_t> t;
        for (const auto& m : sent) t.push_back(m.type);
        return t;
    }

    SftpEvents events{};
    SessionRecord record;
    CSftpClient* client = nullptr;
    int serverFd = -1;
    std::string clientLine;
    CSshPacketLayer fromClient;
    std::vector<Message> sent;
    bool peerClosed = false;
    bool broken = false;
};

}  // namespace velunor::fuzz
