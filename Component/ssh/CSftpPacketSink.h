#pragma once

#include <memory>

#include "ssh/CSftpPacket.h"

namespace velunor {

// Where the component's finished SFTP requests go: the session channel when connected.
class CSftpPacketSink {
public:
    virtual ~CSftpPacketSink() = default;
    // Takes a packet made by NewSftpPacket with its fields appended, fills in the length and
    // queues it for the channel.
    virtual void SendSftpPacket(std::unique_ptr<CSftpPacket> packet) = 0;
};

// A new outgoing packet of the given type: four placeholder bytes for the length, then the type.
std::unique_ptr<CSftpPacket> NewSftpPacket(uint8_t type);

}  // namespace velunor
