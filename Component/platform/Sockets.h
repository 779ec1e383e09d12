#pragma once

// The Windows Sockets services the component relies on, over BSD sockets. Every failure is a
// Windows Sockets code (10035 would block, 10060 timed out, 10061 refused, 11001 host not found,
// ...) taken from errno by one table, and kept per thread like WSAGetLastError, so the protocol
// code records and reports the same numbers on every platform.
//
// Relied on: IPv4 stream sockets; connect; send (never raising SIGPIPE); receive and peek; a
// readiness wait with sub-millisecond time-outs that is safe for any descriptor number; the
// non-blocking switch; send and receive time-outs in milliseconds; the pending-connect result;
// name lookup; the local host name; dotted addresses; close.

#include <cstdint>
#include <string>

namespace velunor::platform {

using SOCKET = int;
inline constexpr SOCKET InvalidSocket = -1;
// The all-ones address that the dotted-address parse returns for text it cannot read.
inline constexpr uint32_t AddressNone = 0xFFFFFFFFu;

// Windows Sockets codes the component tests by value.
enum SocketError : int32_t {
    WsaInterrupted = 10004,
    WsaBadHandle = 10038,
    WsaFault = 10014,
    WsaInvalidArgument = 10022,
    WsaWouldBlock = 10035,
    WsaInProgress = 10036,
    WsaAlready = 10037,
    WsaMessageSize = 10040,
    WsaNotSupported = 10045,
    WsaNetworkDown = 10050,
    WsaNetworkReset = 10052,
    WsaConnectionAborted = 10053,
    WsaConnectionReset = 10054,
    WsaIsConnected = 10056,
    WsaNotConnected = 10057,
    WsaShutdown = 10058,
    WsaTimedOut = 10060,
    WsaConnectionRefused = 10061,
    WsaNotInitialised = 10093,
    WsaHostNotFound = 11001,
};

// Receive flags with their Windows values.
inline constexpr int RecvPeek = 2;

// The start-up record: the version asked for and the one granted (always 2.0 here).
struct SocketLayerInfo {
    uint16_t version = 0;
    uint16_t highVersion = 0;
};
int32_t SocketStartup(SocketLayerInfo* info);
void SocketCleanup();

// The one errno table; exposed so tests can check it row by row.
int32_t SocketErrorFromErrno(int errnoValue);

// The calling thread's last socket error, as every call below leaves it on failure.
int32_t GetLastSocketError();
void SetLastSocketError(int32_t code);

// A TCP/IPv4 socket, never on descriptors 0 to 2 (0 means "no socket" to the component and the
// low numbers belong to the standard streams), or InvalidSocket.
SOCKET CreateTcpSocket();
// 0, or -1 with the last error set; InvalidSocket and 0 are refused with 10038.
int32_t CloseSocket(SOCKET s);

// Address in network byte order, port in host order. 0, or -1 (10035 while in progress on a
// non-blocking socket).
int32_t ConnectIPv4(SOCKET s, uint32_t address, uint16_t port);
// Bytes sent, or -1. A blocking socket whose send time-out runs out fails with 10060.
int32_t Send(SOCKET s, const void* data, int32_t length, int flags);
// Bytes received (0 when the peer has closed), or -1; flags take RecvPeek. A blocking socket whose
// receive time-out runs out fails with 10060, a non-blocking one with nothing buffered with 10035.
int32_t Recv(SOCKET s, void* buffer, int32_t length, int flags);

// The FIONBIO switch. 0, or -1.
int32_t SetSocketNonBlocking(SOCKET s, bool on);
bool IsSocketNonBlocking(SOCKET s);
// SO_SNDTIMEO and SO_RCVTIMEO in milliseconds (0 waits forever; a negative value is refused).
int32_t SetSendTimeout(SOCKET s, int32_t ms);
int32_t SetReceiveTimeout(SOCKET s, int32_t ms);
// The pending error of the socket (SO_ERROR) as a Windows Sockets code, 0 if none; -1 with the
// last error set when it cannot be read.
int32_t GetPendingSocketError(SOCKET s);

// Readiness waits: 1 ready, 0 timed out, -1 failed (10038 for a closed descriptor). An error or
// hang-up on the socket counts as readable, so the following receive reports it. A negative
// time-out waits without limit.
int32_t WaitSocketReadable(SOCKET s, int64_t timeoutMicros);
int32_t WaitSocketWritable(SOCKET s, int64_t timeoutMicros);

// A dotted IPv4 address (network order), or AddressNone when the text is not one.
uint32_t ParseDottedAddress(const char* text);
std::string FormatDottedAddress(uint32_t address);
// The first IPv4 address of a host name: 0 and *address set, or 11001 (also set as the last error)
// when the name does not resolve.
int32_t LookupHostIPv4(const char* name, uint32_t* address);
// The resolver behind LookupHostIPv4; tests replace it to count or fake lookups. Null restores
// the system's.
using ResolverFunction = int32_t (*)(const char* name, uint32_t* address);
void SetResolver(ResolverFunction resolver);
int32_t SystemResolveIPv4(const char* name, uint32_t* address);
// This machine's host name, or "" when it cannot be read.
std::string LocalHostName();

}  // namespace velunor::platform
