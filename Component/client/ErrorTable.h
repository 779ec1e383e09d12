#pragma once

#include <cstdint>

namespace velunor {

// The component's own error codes and the system codes it reports by name. Their texts stand in
// one table in ErrorTable.cpp.
namespace Err {
enum : int32_t {
    Unrecognized = -1,
    NoError = 0,
    NotEnoughMemory = 8,
    TypeMismatch = 13,
    InvalidPropertyValue = 380,
    TimedOut = 1460,
    WsaInterrupted = 10004,
    WsaInvalidArgument = 10022,
    WsaWouldBlock = 10035,
    WsaNotSocket = 10038,
    WsaTimedOut = 10060,
    WsaRefused = 10061,
    HostNotFound = 11001,
    CannotConnectNow = 30001,
    LoginError = 30002,
    InvalidHostname = 30003,
    CannotChangeHostname = 30004,
    CannotChangePort = 30005,
    NotConnected = 30006,
    Busy = 30007,
    SingleDes = 30008,
    InvalidLocalPath = 30009,
    CannotResolve = 30010,
    ProtocolError = 30011,
    VersionMismatch = 30012,
    BadServerDhValue = 30013,
    SignatureMismatch = 30014,
    LoginRefused = 30015,
    SubsystemUnavailable = 30016,
    InvalidReadResponse = 30017,
    ServerError = 30018,
    PathIsDirectory = 30019,
    CannotWritePath = 30020,
    LocalFileMissing = 30021,
    LocalOpenFailed = 30022,
    LocalReadFailed = 30023,
    LocalWriteFailed = 30024,
    InvalidResponseId = 30025,
    HostnameNotSet = 30026,
    Disconnected = 30027,
    NotSshServer = 30028,
    ChannelOpenFailed = 30029,
    NoMoreAuthMethods = 30030,
    SetAttributesFailed = 30031,
    TempFileFailed = 30032,
    AbortedByUser = 30033,
    UnknownKeyType = 30034,
    CannotChangeBufferSize = 30035,
    InvalidBufferSize = 30036,
    MethodAborted = 30037,
    CannotSetCompression = 30038,
    CompressionOutOfRange = 30039,
    ProxyClosed = 30040,
    ProxyRefusedLogin = 30041,
    KeyImportFailed = 30042,
    AppendWithResume = 30043,
    SizeZero = 30044,
};
}  // namespace Err

// The table text of a code; "Unrecognized Error." for -1; null for a code not in the table.
const char* ErrorMessage(int32_t code);

// The text of a connection state number ("Unknown state" for any other number).
const char* StateText(int32_t state);

}  // namespace velunor
