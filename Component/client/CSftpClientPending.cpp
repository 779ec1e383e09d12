// Slots whose operations are not built yet: each says so with E_NOTIMPL rather than pretend.
#include "client/CSftpClient.h"

namespace velunor {

int32_t CSftpClient::ImportPrivateKey(const char*, const char*) { return NotBuilt(); }

}  // namespace velunor
