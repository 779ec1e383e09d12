#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace velunor::platform {
namespace {

thread_local int32_t lastSocketError = 0;
std::atomic<ResolverFunction> resolver{nullptr};

struct ErrnoRow {
    int errnoValue;
    int32_t code;
};

// Every errno a socket call can leave, with the Windows Sockets code the component reports for it.
// EWOULDBLOCK and EAGAIN share a value on Linux; both names are listed for other systems.
const ErrnoRow kErrnoTable[] = {
    {EINTR, 10004},        {EBADF, 10038},        {ENOTSOCK, 10038},     {EACCES, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},       {EMFILE, 10024},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},       {EINPROGRESS, 10035},  {EALREADY, 10037},     {EMSGSIZE, 10040},
    {EOPNOTSUPP, 10045},   {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},  {ENETRESET, 10052},    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},      {EISCONN, 10056},      {ENOTCONN, 10057},
    {EPIPE, 10058},        {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
};

int32_t Fail(int32_t code) {
    lastSocketError = code;
    return -1;
}

int32_t FailFromErrno() { return Fail(SocketErrorFromErrno(errno)); }

// EAGAIN on a blocking socket can only mean that SO_SNDTIMEO or SO_RCVTIMEO ran out, which
// Windows reports as a time-out, not as "would block".
int32_t FailTransfer(SOCKET s) {
    int e = errno;
    if ((e == EAGAIN || e == EWOULDBLOCK) && !IsSocketNonBlocking(s)) return Fail(WsaTimedOut);
    return Fail(SocketErrorFromErrno(e));
}

int32_t WaitSocket(SOCKET s, short events, int64_t timeoutMicros) {
    pollfd entry{s, events, 0};
    timespec limit{};
    timespec* limitPtr = nullptr;
    if (timeoutMicros >= 0) {
        limit.tv_sec = time_t(timeoutMicros / 1000000);
        limit.tv_nsec = long(timeoutMicros % 1000000) * 1000L;
        limitPtr = &limit;
    }
    int n = ppoll(&entry, 1, limitPtr, nullptr);
    if (n < 0) return FailFromErrno();
    if (n == 0) return 0;
    if (entry.revents & POLLNVAL) return Fail(WsaBadHandle);
    return 1;
}

int32_t SetTimeoutOption(SOCKET s, int option, int32_t ms) {
    if (ms < 0) return Fail(WsaInvalidArgument);
    timeval tv{time_t(ms / 1000), suseconds_t(ms % 1000) * 1000};
    if (setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv) != 0) return FailFromErrno();
    return 0;
}

}  // namespace

int32_t SocketStartup(SocketLayerInfo* info) {
    if (info) {
        info->version = 0x0002;
        info->highVersion = 0x0002;
    }
    return 0;
}

void SocketCleanup() {}

int32_t SocketErrorFromErrno(int errnoValue) {
    for (const ErrnoRow& row : kErrnoTable)
        if (row.errnoValue == errnoValue) return row.code;
    return WsaInvalidArgument;
}

int32_t GetLastSocketError() { return lastSocketError; }
void SetLastSocketError(int32_t code) { lastSocketError = code; }

SOCKET CreateTcpSocket() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return FailFromErrno();
    if (s < 3) {
        int moved = fcntl(s, F_DUPFD_CLOEXEC, 3);
        int e = errno;
        ::close(s);
        if (moved < 0) return Fail(SocketErrorFromErrno(e));
        s = moved;
    }
    // One request is answered before the next goes out, so a small packet held back for the
    // peer's delayed acknowledgement would stall every round trip by tens of milliseconds.
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return s;
}

int32_t CloseSocket(SOCKET s) {
    if (s <= 0) return Fail(WsaBadHandle);
    // Linux closes the descriptor even when close reports EINTR; retrying could close another.
    if (::close(s) != 0 && errno != EINTR) return FailFromErrno();
    return 0;
}

int32_t ConnectIPv4(SOCKET s, uint32_t address, uint16_t port) {
    if (s <= 0) return Fail(WsaBadHandle);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return FailFromErrno();
    return 0;
}

int32_t Send(SOCKET s, const void* data, int32_t length, int flags) {
    (void)flags;
    if (s <= 0) return Fail(WsaBadHandle);
    if (length < 0) return Fail(WsaInvalidArgument);
    ssize_t n = ::send(s, data, size_t(length), MSG_NOSIGNAL);
    if (n < 0) return FailTransfer(s);
    return int32_t(n);
}

int32_t Recv(SOCKET s, void* buffer, int32_t length, int flags) {
    if (s <= 0) return Fail(WsaBadHandle);
    if (length < 0) return Fail(WsaInvalidArgument);
    int sysFlags = (flags & RecvPeek) ? MSG_PEEK : 0;
    ssize_t n = ::recv(s, buffer, size_t(length), sysFlags);
    if (n < 0) return FailTransfer(s);
    return int32_t(n);
}

int32_t SetSocketNonBlocking(SOCKET s, bool on) {
    if (s <= 0) return Fail(WsaBadHandle);
    int value = on ? 1 : 0;
    if (ioctl(s, FIONBIO, &value) != 0) return FailFromErrno();
    return 0;
}

bool IsSocketNonBlocking(SOCKET s) {
    int flags = fcntl(s, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

int32_t SetSendTimeout(SOCKET s, int32_t ms) { return SetTimeoutOption(s, SO_SNDTIMEO, ms); }
int32_t SetReceiveTimeout(SOCKET s, int32_t ms) { return SetTimeoutOption(s, SO_RCVTIMEO, ms); }

int32_t GetPendingSocketError(SOCKET s) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &size) != 0) return FailFromErrno();
    return value == 0 ? 0 : SocketErrorFromErrno(value);
}

int32_t WaitSocketReadable(SOCKET s, int64_t timeoutMicros) {
    return WaitSocket(s, POLLIN, timeoutMicros);
}

int32_t WaitSocketWritable(SOCKET s, int64_t timeoutMicros) {
    return WaitSocket(s, POLLOUT, timeoutMicros);
}

uint32_t ParseDottedAddress(const char* text) {
    in_addr parsed{};
    if (!text || inet_aton(text, &parsed) == 0) return AddressNone;
    return parsed.s_addr;
}

std::string FormatDottedAddress(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr value{};
    value.s_addr = address;
    inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

int32_t SystemResolveIPv4(const char* name, uint32_t* address) {
    if (!name || !*name || !address) return WsaHostNotFound;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return WsaHostNotFound;
    int32_t result = WsaHostNotFound;
    for (addrinfo* each = found; each; each = each->ai_next) {
        if (each->ai_family == AF_INET && each->ai_addrlen >= sizeof(sockaddr_in)) {
            *address = reinterpret_cast<const sockaddr_in*>(each->ai_addr)->sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    freeaddrinfo(found);
    return result;
}

int32_t LookupHostIPv4(const char* name, uint32_t* address) {
    ResolverFunction chosen = resolver.load();
    int32_t result = chosen ? chosen(name, address) : SystemResolveIPv4(name, address);
    if (result != 0) {
        lastSocketError = WsaHostNotFound;
        return WsaHostNotFound;
    }
    return 0;
}

void SetResolver(ResolverFunction replacement) { resolver.store(replacement); }

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace velunor::platform
