#pragma once

#include <memory>

#include "client/CSftpClient.h"

namespace velunor {

// Counts the calls into the component on this thread (slots, and the dispatch of its messages).
// A component deleted from inside one of them, typically from a host callback, is destroyed when
// the outermost call returns, so nothing on the stack is pulled out from under its caller.
class CCallDepth {
public:
    CCallDepth();
    ~CCallDepth();
    CCallDepth(const CCallDepth&) = delete;
    CCallDepth& operator=(const CCallDepth&) = delete;

    // Destroys at once when no call is in progress, else when the outermost one ends.
    static void Destroy(CSftpClient* client);
    // A connection object whose handlers may still be on the stack: freed with the same rule.
    static void Retire(std::unique_ptr<CSshConnection, CConnectionDeleter> connection);
    static bool Inside();
    // True once Destroy has been asked for this component and it waits for the stack to unwind.
    static bool Doomed(const CSftpClient* client);
};

}  // namespace velunor
