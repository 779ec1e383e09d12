#pragma once

#include <cstdint>
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
        std::string text;  // text argument(s), joined with '|'
    };

    HostClient();
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    CSftpClient* Raw() const { return client; }
    const CSftpClientVtbl& T() const { return *client->vtbl; }

    // Property helpers through the table.
    void SetText(int32_t (*put)(CSftpClient*, BSTR), const std::string& value);
    std::string GetText(int32_t (*get)(CSftpClient*, BSTR*));
    void SetLogin(const std::string& user, const std::string& password);
    std::string LastErrorText();

    // Blocking Connect to 127.0.0.1:port (both as VARIANTs).
    int32_t Connect(uint16_t port, const std::string& host = "127.0.0.1");
    int32_t State();

    std::vector<Event> events;
    std::vector<std::string> Names() const;
    // Answers the callbacks give.
    int32_t hostKeyAnswer = 1;
    int32_t serverInfoAnswer = 1;
    std::vector<std::string> promptAnswers;  // one per OnPrompt call; empty: keep the default
    std::string lastHostKey;

private:
    CSftpClient* client = nullptr;
    SftpEvents table{};
    std::vector<std::string> promptStore;
};

// A BSTR VARIANT the caller clears; MissingArg() for an omitted argument.
VARIANT TextArg(const std::string& text);
VARIANT IntArg(int32_t value);
VARIANT MissingArg();

}  // namespace velunor::test
