#include "client/CSftpClient.h"
#include "client/ErrorTable.h"

namespace velunor {

// An operation has ended only when its result has been reported (every answer it waited for has
// come back) or the connection has gone; returning earlier would leave the component busy while
// the caller believes it is done.
int32_t CSftpClient::WaitForCompletion() {
    if (!Blocking) return 0;
    while (Blocking && operationPending && state != StateDisconnected) {
        // The pump does nothing while an event bit is set; bits that do not end the operation
        // (send-ready during a transfer, an accept notice) must not stall it.
        if (pendingEvents != 0) pendingEvents &= ~(EvSendReady | EvAccept);
        if (pendingEvents != 0) break;
        PumpOnce();
    }
    if (!Blocking || lastError == 0) return 0;
    if (lastError == Err::ServerError) return lastError;  // keeps "Server error: <status text>"
    return RaiseError(lastError);
}

}  // namespace velunor
