#pragma once

#include <cstdint>
#include <mutex>

namespace velunor {

class CSshConnection;

// What one step of a blocking wait needs from the component that waits: its event bits, its mode
// and state, its connection, the lock that serialises socket probes, and its disconnect.
class CPumpTarget {
public:
    virtual ~CPumpTarget() = default;

    // Any bit set means the waiting method has something to look at, so the step does nothing.
    virtual int32_t PendingEvents() const = 0;
    virtual bool Blocking() const = 0;
    // The connection state: 1 while connecting.
    virtual int32_t ConnectionState() const = 0;
    // The ProxyType property.
    virtual int32_t ProxyType() const = 0;
    // Null when there is none. Read again after every handler call, since a handler can end with
    // the connection destroyed.
    virtual CSshConnection* Connection() = 0;
    virtual std::mutex& SocketLock() = 0;
    // The component's disconnect method, for a connection found dead outside the connect phase.
    virtual void Disconnect() = 0;
};

}  // namespace velunor
