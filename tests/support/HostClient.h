#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velunor/sftp.h"

namespace velunor::test {

// A host as an application would be: one component made with SFTP_Create and driven only
// through its public slot table, with every callback recorded in the order it fired.
class HostClient {
public:
    struct Event {
        std::string name;  // "OnConnected", "OnStateChange", ...
        int32_t code = 0;  // code, previous state, or accept flag as returned
        std::string text;  // text argument(s), joined with '|'; OnStateChange: the new state
    };

    HostClient();
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    CSftpClient* Raw() const { return client; }
    // The slot table as it was handed out: still usable (every slot then refuses with
    // E_POINTER) once the component is gone, where reading it through Raw() would not be.
    const CSftpClientVtbl& T() const { return *table_; }
    // The callback table the component keeps; a test may clear entries before connecting.
    SftpEvents& Events() { return table; }

    // Property helpers through the table.
    void SetText(int32_t (*put)(CSftpClient*, BSTR), const std::string& value);
    std::string GetText(int32_t (*get)(CSftpClient*, BSTR*));
    int32_t GetInt(int32_t (*get)(CSftpClient*, int32_t*));
    int16_t GetShort(int32_t (*get)(CSftpClient*, int16_t*));
    void SetLogin(const std::string& user, const std::string& password);
    // The private key blob as a byte array (VT_ARRAY | VT_UI1); the slot's result.
    int32_t SetPrivateKey(const std::vector<uint8_t>& blob);
    int32_t LastError();

    // Blocking Connect to host:port (both as VARIANTs).
    int32_t Connect(uint16_t port, const std::string& host = "127.0.0.1");
    // Connect with the arguments as given and Blocking as it is set.
    int32_t ConnectWith(VARIANT host, VARIANT port);
    int32_t State();

    // Calls SFTP_PumpMessages until done() holds or the time is up; done()'s last answer.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // SFTP_Delete now, also from inside a callback; recorded as the event "Deleted". Nothing
    // may be recorded after it.
    void Delete();
    bool Deleted() const { return deleted; }

    std::vector<Event> events;
    std::vector<std::string> Names() const;
    // The events after the first one named name (all of them if none is).
    std::vector<Event> After(const std::string& name) const;
    bool Saw(const std::string& name) const;
    // Answers the callbacks give.
    int32_t hostKeyAnswer = 1;
    int32_t serverInfoAnswer = 1;
    std::vector<std::string> promptAnswers;  // one per OnPrompt call; empty: keep the default
    std::string lastHostKey;
    // Runs inside every callback, after it was recorded; may call back into the component.
    std::function<void(HostClient&, const Event&)> onEvent;

    // Records one callback and runs onEvent; called by the callback table.
    void Fire(const Event& event);

private:

    CSftpClient* client = nullptr;
    const CSftpClientVtbl* table_ = nullptr;
    SftpEvents table{};
    std::vector<std::string> promptStore;
    bool deleted = false;
};

// A BSTR VARIANT the caller clears; MissingArg() for an omitted argument.
VARIANT TextArg(const std::string& text);
VARIANT IntArg(int32_t value);
VARIANT DateArg(double oleDate);
VARIANT MissingArg();

}  // namespace velunor::test
