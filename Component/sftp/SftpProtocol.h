#pragma once

#include <cstdint>

namespace velunor {

// SFTP version 3 packet types, with their wire numbers. Malformed stands for a reply too short
// to carry the fields its type requires, so handlers treat it as an unexpected reply.
enum class SftpType : uint8_t {
    None = 0,
    Init = 1,
    Version = 2,
    Open = 3,
    Close = 4,
    Read = 5,
    Write = 6,
    Lstat = 7,
    Setstat = 9,
    Opendir = 11,
    Readdir = 12,
    Remove = 13,
    Mkdir = 14,
    Rmdir = 15,
    Realpath = 16,
    Stat = 17,
    Rename = 18,
    Status = 101,
    Handle = 102,
    Data = 103,
    Name = 104,
    Attrs = 105,
    Malformed = 255,
};

// Status codes of a STATUS reply.
enum SftpStatus : uint32_t {
    StatusOk = 0,
    StatusEof = 1,
    StatusNoSuchFile = 2,
    StatusPermissionDenied = 3,
    StatusFailure = 4,
    StatusBadMessage = 5,
    StatusNoConnection = 6,
    StatusConnectionLost = 7,
    StatusUnsupported = 8,
};

// OPEN flags.
enum SftpOpenFlags : uint32_t {
    OpenRead = 0x01,
    OpenWrite = 0x02,
    OpenCreate = 0x08,
    OpenTruncate = 0x10,
};

// Attribute flag bits, in the order their fields follow the flags.
enum SftpAttrFlags : uint32_t {
    AttrSize = 0x1,
    AttrUidGid = 0x2,
    AttrPermissions = 0x4,
    AttrTimes = 0x8,
};

// File type bits of the permissions field.
inline constexpr uint32_t kFileTypeMask = 0xF000;
inline constexpr uint32_t kDirectoryType = 0x4000;
inline constexpr bool IsDirectoryMode(uint32_t permissions) {
    return (permissions & kFileTypeMask) == kDirectoryType;
}

// The largest block one READ or WRITE carries.
inline constexpr uint32_t kMaxTransferBlock = 32768;

}  // namespace velunor
