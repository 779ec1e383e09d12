#include "support/HostClient.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/Ole.h"
#include "platform/TextCodec.h"

namespace velunor::test {

namespace {

// Callbacks carry only the component pointer; this finds the recording host for it.
std::mutex registryLock;
std::map<const CSftpClient*, HostClient*>& Registry() {
    static std::map<const CSftpClient*, HostClient*> r;
    return r;
}

HostClient* Find(const CSftpClient* c) {
    std::lock_guard<std::mutex> g(registryLock);
    auto it = Registry().find(c);
    return it == Registry().end() ? nullptr : it->second;
}

void Record(CSftpClient* c, const char* name, int32_t code, std::string text) {
    if (HostClient* h = Find(c)) h->Fire({name, code, std::move(text)});
}

}  // namespace

HostClient::HostClient() {
    table.OnConnected = [](CSftpClient* c, int32_t code, const char* text) { Record(c, "OnConnected", code, text); };
    table.OnDisconnect = [](CSftpClient* c) { Record(c, "OnDisconnect", 0, ""); };
    table.OnStateChange = [](CSftpClient* c, int32_t previous) {
        int32_t now = -1;
        if (HostClient* h = Find(c)) now = h->State();
        Record(c, "OnStateChange", previous, std::to_string(now));
    };
    table.OnHostKey = [](CSftpClient* c, const char* fingerprint, int32_t* accept) {
        HostClient* h = Find(c);
        if (h) {
            h->lastHostKey = fingerprint;
            *accept = h->hostKeyAnswer;
        }
        Record(c, "OnHostKey", *accept, fingerprint);
    };
    table.OnProgress = [](CSftpClient* c, uint32_t doneLow, uint32_t doneHigh, uint32_t totalLow, uint32_t totalHigh) {
        uint64_t done = (uint64_t(doneHigh) << 32) | doneLow, total = (uint64_t(totalHigh) << 32) | totalLow;
        Record(c, "OnProgress", 0, std::to_string(done) + "/" + std::to_string(total));
    };
    table.OnText = [](CSftpClient* c, const char* text) { Record(c, "OnText", 0, text); };
    table.OnResult = [](CSftpClient* c, int32_t code, const char* text) { Record(c, "OnResult", code, text); };
    table.OnFileInfo = [](CSftpClient* c, uint32_t sizeLow, uint32_t sizeHigh, uint32_t uid, uint32_t gid,
                          uint32_t permissions, double, double) {
        uint64_t size = (uint64_t(sizeHigh) << 32) | sizeLow;
        Record(c, "OnFileInfo", 0,
               std::to_string(size) + "|" + std::to_string(uid) + "|" + std::to_string(gid) + "|" +
                   std::to_string(permissions));
    };
    table.OnServerInfo = [](CSftpClient* c, const char* protocol, const char* identification, const char* cipherIn,
                            const char* cipherOut, const char* hostKey, int32_t* accept) {
        if (HostClient* h = Find(c)) *accept = h->serverInfoAnswer;
        Record(c, "OnServerInfo", *accept,
               std::string(protocol) + "|" + identification + "|" + cipherIn + "|" + cipherOut + "|" + hostKey);
    };
    table.OnListData = [](CSftpClient* c, uint32_t count, const void*) {
        Record(c, "OnListData", int32_t(count), "");
    };
    table.OnPrompt = [](CSftpClient* c, const char* prompt, const char** answer) {
        HostClient* h = Find(c);
        Record(c, "OnPrompt", 0, prompt);
        if (h && !h->promptAnswers.empty()) {
            h->promptStore.push_back(h->promptAnswers.front());
            h->promptAnswers.erase(h->promptAnswers.begin());
            *answer = h->promptStore.back().c_str();
        }
    };
    client = SFTP_Create(&table);
    if (client != nullptr) table_ = client->vtbl;
    std::lock_guard<std::mutex> g(registryLock);
    Registry()[client] = this;
}

HostClient::~HostClient() {
    {
        std::lock_guard<std::mutex> g(registryLock);
        auto it = Registry().find(client);
        if (it != Registry().end() && it->second == this) Registry().erase(it);
    }
    if (!deleted) SFTP_Delete(client);
}

void HostClient::Fire(const Event& event) {
    events.push_back(event);
    if (onEvent) onEvent(*this, events.back());
}

void HostClient::Delete() {
    if (deleted) return;
    deleted = true;
    events.push_back({"Deleted", 0, ""});
    SFTP_Delete(client);
}

void HostClient::SetText(int32_t (*put)(CSftpClient*, BSTR), const std::string& value) {
    BSTR b = platform::AllocBstrFromUtf8(value);
    put(client, b);
    SysFreeString(b);
}

std::string HostClient::GetText(int32_t (*get)(CSftpClient*, BSTR*)) {
    BSTR b = nullptr;
    if (get(client, &b) != 0) return "<failed>";
    std::string s = platform::Utf16ToUtf8(platform::BstrView(b));
    SysFreeString(b);
    return s;
}

void HostClient::SetLogin(const std::string& user, const std::string& password) {
    SetText(T().put_Username, user);
    SetText(T().put_Password, password);
}

int32_t HostClient::GetInt(int32_t (*get)(CSftpClient*, int32_t*)) {
    int32_t v = -1;
    if (get(client, &v) != 0) return INT32_MIN;
    return v;
}

int16_t HostClient::GetShort(int32_t (*get)(CSftpClient*, int16_t*)) {
    int16_t v = -1;
    if (get(client, &v) != 0) return INT16_MIN;
    return v;
}

int32_t HostClient::SetPrivateKey(const std::vector<uint8_t>& blob) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, uint32_t(blob.size()));
    if (array == nullptr) return -1;
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!blob.empty()) std::memcpy(data, blob.data(), blob.size());
    SafeArrayUnaccessData(array);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.u.parray = array;
    int32_t rc = T().put_PrivateKey(client, v);
    VariantClear(&v);
    return rc;
}

int32_t HostClient::LastError() { return GetShort(T().get_LastError); }

int32_t HostClient::Connect(uint16_t port, const std::string& host) {
    T().put_Blocking(client, VARIANT_TRUE);
    VARIANT h = TextArg(host);
    VARIANT p = IntArg(port);
    int32_t rc = ConnectWith(h, p);
    VariantClear(&h);
    return rc;
}

int32_t HostClient::ConnectWith(VARIANT host, VARIANT port) { return T().Connect(client, host, port); }

int32_t HostClient::State() { return GetInt(T().get_State); }

bool HostClient::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        SFTP_PumpMessages(50);
    }
    return true;
}

std::vector<std::string> HostClient::Names() const {
    std::vector<std::string> names;
    for (const auto& e : events) names.push_back(e.name);
    return names;
}

std::vector<HostClient::Event> HostClient::After(const std::string& name) const {
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].name == name) return {events.begin() + long(i) + 1, events.end()};
    return events;
}

bool HostClient::Saw(const std::string& name) const {
    for (const auto& e : events)
        if (e.name == name) return true;
    return false;
}

VARIANT TextArg(const std::string& text) { return platform::BstrVariant(platform::AllocBstrFromUtf8(text)); }

VARIANT IntArg(int32_t value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.u.lVal = value;
    return v;
}

VARIANT DateArg(double oleDate) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.u.date = oleDate;
    return v;
}

VARIANT MissingArg() { return platform::MissingVariant(); }

}  // namespace velunor::test
