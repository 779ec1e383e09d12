#include "ssh/CSftpPacketSink.h"

namespace velunor {

std::unique_ptr<CSftpPacket> NewSftpPacket(uint8_t type) {
    auto packet = std::make_unique<CSftpPacket>();
    packet->type = type;
    packet->body.PutUint32(0);
    packet->body.PutByte(type);
    return packet;
}

}  // namespace velunor
