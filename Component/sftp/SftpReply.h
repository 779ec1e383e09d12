#pragma once

#include <cstdint>

#include "base/CWireReader.h"
#include "client/CSftpClient.h"
#include "sftp/SftpProtocol.h"

namespace velunor {

// One incoming SFTP reply: its type (Malformed when too short for its fixed fields), the status
// code of a STATUS, and a cursor over the fields not yet read (a STATUS's id and code are read).
struct CSftpClient::SftpReply {
    SftpType type;
    uint32_t status;
    CWireReader in;
};

}  // namespace velunor
