// Slots whose operations are not built yet: each says so with E_NOTIMPL rather than pretend.
#include "client/CSftpClient.h"

namespace velunor {

int32_t CSftpClient::Connect(VARIANT, VARIANT) { return NotBuilt(); }
int32_t CSftpClient::ImportPrivateKey(const char*, const char*) { return NotBuilt(); }
int32_t CSftpClient::DrainSocket() { return NotBuilt(); }

// Without a connection these have nothing to act on, which is their whole behaviour then.
int32_t CSftpClient::Disconnect() {
    if (state == StateDisconnected) return 0;
    if (!session) {
        state = StateDisconnected;
        return 0;
    }
    return NotBuilt();
}
int32_t CSftpClient::PollReceive() { return session ? NotBuilt() : 0; }
int32_t CSftpClient::ClearBannerText() { return session ? NotBuilt() : 0; }
int32_t CSftpClient::ClearChannelOutput() { return session ? NotBuilt() : 0; }

// No connection object can exist until connecting is built.
void CConnectionDeleter::operator()(CSshConnection*) const {}

}  // namespace velunor

namespace velunor {

void CSftpClient::PumpOnce() {}

}  // namespace velunor
