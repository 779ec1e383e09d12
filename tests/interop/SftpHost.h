#pragma once
// Shared pieces of the SFTP end-to-end tests: a recording host that keeps everything the
// callbacks deliver (listing records included) and lets a test act from inside a callback, and
// a fixture that runs both real servers once per suite and gives every test its own directory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/Ole.h"
#include "platform/TextCodec.h"
#include "support/AsyncSshServer.h"
#include "support/SshdServer.h"
#include "support/TempDir.h"
#include "support/TestAccount.h"
#include "velunor/sftp.h"

namespace velunor::test::sftpio {

using FindRecord = std::array<uint8_t, 320>;

class SftpHost {
public:
    struct Event {
        std::string name;
        int64_t a = 0;  // code, count or progress done
        int64_t b = 0;  // progress total
        std::string text;
    };

    SftpHost() {
        table.OnStateChange = [](CSftpClient* c, int32_t previous) { Record(c, {"OnStateChange", previous, 0, ""}); };
        table.OnProgress = [](CSftpClient* c, uint32_t dl, uint32_t dh, uint32_t tl, uint32_t th) {
            int64_t done = int64_t((uint64_t(dh) << 32) | dl), total = int64_t((uint64_t(th) << 32) | tl);
            Record(c, {"OnProgress", done, total, ""});
            if (SftpHost* h = Find(c); h && h->onProgress) h->onProgress(*h, done, total);
        };
        table.OnText = [](CSftpClient* c, const char* text) {
            Record(c, {"OnText", 0, 0, text});
            if (SftpHost* h = Find(c); h && h->onText) h->onText(*h, text);
        };
        table.OnResult = [](CSftpClient* c, int32_t code, const char* text) { Record(c, {"OnResult", code, 0, text}); };
        table.OnFileInfo = [](CSftpClient* c, uint32_t sl, uint32_t sh, uint32_t uid, uint32_t gid, uint32_t perms,
                              double, double) {
            Record(c, {"OnFileInfo", int64_t((uint64_t(sh) << 32) | sl), perms,
                       std::to_string(uid) + "|" + std::to_string(gid)});
        };
        table.OnListData = [](CSftpClient* c, uint32_t count, const void* records) {
            Record(c, {"OnListData", count, 0, ""});
            SftpHost* h = Find(c);
            if (h == nullptr) return;
            for (uint32_t i = 0; i < count; ++i) {
                FindRecord r;
                std::memcpy(r.data(), static_cast<const uint8_t*>(records) + size_t(i) * r.size(), r.size());
                h->records.push_back(r);
            }
            if (h->onListData) h->onListData(*h, count);
        };
        client = SFTP_Create(&table);
        std::lock_guard<std::mutex> g(Lock());
        Registry()[client] = this;
    }
    ~SftpHost() {
        {
            std::lock_guard<std::mutex> g(Lock());
            Registry().erase(client);
        }
        SFTP_Delete(client);
    }
    SftpHost(const SftpHost&) = delete;
    SftpHost& operator=(const SftpHost&) = delete;

    // A text VARIANT that frees itself.
    struct Arg {
        explicit Arg(const std::string& s) : v(platform::BstrVariant(platform::AllocBstrFromUtf8(s))) {}
        ~Arg() { VariantClear(&v); }
        VARIANT v;
    };

    CSftpClient* C() const { return client; }
    const CSftpClientVtbl& T() const { return *client->vtbl; }

    void Put(int32_t (*put)(CSftpClient*, BSTR), const std::string& value) {
        BSTR b = platform::AllocBstrFromUtf8(value);
        put(client, b);
        SysFreeString(b);
    }
    std::string Get(int32_t (*get)(CSftpClient*, BSTR*)) const {
        BSTR b = nullptr;
        if (get(client, &b) != 0) return "<failed>";
        std::string s = platform::Utf16ToUtf8(platform::BstrView(b));
        SysFreeString(b);
        return s;
    }
    std::string ResultText() const { return Get(T().get_ResultText); }
    std::string ServerStatusText() const { return Get(T().get_ServerStatusText); }
    int16_t ServerStatusCode() const {
        int16_t v = 0;
        T().get_ServerStatusCode(client, &v);
        return v;
    }
    int32_t State() const {
        int32_t s = -1;
        T().get_State(client, &s);
        return s;
    }

    // Blocking from here on; every wait inside the component is bounded by Timeout.
    int32_t Connect(uint16_t port) {
        T().put_Blocking(client, VARIANT_TRUE);
        T().put_Timeout(client, 30);
        Put(T().put_Username, TestAccount::kUser);
        Put(T().put_Password, TestAccount::kPassword);
        VARIANT h = platform::BstrVariant(platform::AllocBstrFromUtf8("127.0.0.1"));
        VARIANT p;
        VariantInit(&p);
        p.vt = VT_I4;
        p.u.lVal = port;
        int32_t rc = T().Connect(client, h, p);
        VariantClear(&h);
        return rc;
    }

    // One-path slots (listings, commands, DownloadData).
    int32_t Path(int32_t (*slot)(CSftpClient*, VARIANT), const std::string& remote) {
        Arg r(remote);
        return slot(client, r.v);
    }
    // Local-and-remote slots (Upload, Download and their fresh forms, AppendFile).
    int32_t Paths(int32_t (*slot)(CSftpClient*, VARIANT, VARIANT), const std::string& local,
                  const std::string& remote) {
        Arg l(local), r(remote);
        return slot(client, l.v, r.v);
    }
    int32_t Text(int32_t (*slot)(CSftpClient*, BSTR, VARIANT), const std::string& text, const std::string& remote) {
        BSTR b = platform::AllocBstrFromUtf8(text);
        Arg r(remote);
        int32_t rc = slot(client, b, r.v);
        SysFreeString(b);
        return rc;
    }
    int32_t UploadData(const std::string& bytes, const std::string& remote) {
        Arg r(remote);
        return T().UploadData(client, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), r.v);
    }

    std::vector<Event> Of(const std::string& name) const {
        std::vector<Event> out;
        for (const auto& e : events)
            if (e.name == name) out.push_back(e);
        return out;
    }
    std::vector<std::string> Progress() const {
        std::vector<std::string> out;
        for (const auto& e : Of("OnProgress")) out.push_back(std::to_string(e.a) + "/" + std::to_string(e.b));
        return out;
    }
    // The last OnResult as "code text", or "none".
    std::string LastResult() const {
        auto r = Of("OnResult");
        return r.empty() ? "none" : std::to_string(r.back().a) + " " + r.back().text;
    }
    void Clear() {
        events.clear();
        records.clear();
    }

    std::vector<Event> events;
    std::vector<FindRecord> records;
    std::function<void(SftpHost&, int64_t, int64_t)> onProgress;
    std::function<void(SftpHost&, const std::string&)> onText;
    std::function<void(SftpHost&, uint32_t)> onListData;

private:
    static std::mutex& Lock() {
        static std::mutex m;
        return m;
    }
    static std::map<const CSftpClient*, SftpHost*>& Registry() {
        static std::map<const CSftpClient*, SftpHost*> r;
        return r;
    }
    static SftpHost* Find(const CSftpClient* c) {
        std::lock_guard<std::mutex> g(Lock());
        auto it = Registry().find(c);
        return it == Registry().end() ? nullptr : it->second;
    }
    static void Record(CSftpClient* c, Event e) {
        if (SftpHost* h = Find(c)) h->events.push_back(std::move(e));
    }

    CSftpClient* client = nullptr;
    SftpEvents table{};
};

enum class Server { Sshd, AsyncSsh };

inline std::string ServerName(const ::testing::TestParamInfo<Server>& info) {
    return info.param == Server::Sshd ? "Sshd" : "AsyncSsh";
}

// Incompressible bytes, the same for the same seed.
inline std::string RandomBytes(size_t n, uint32_t seed = 7) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(gen() & 0xFF);
    return s;
}

// Both servers, started once per suite; each test connects its own host and works in its own
// directory, seen locally at Local(name) and by the server at Remote(name).
class SftpServerTest : public ::testing::TestWithParam<Server> {
public:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TestAccount::Ensure());
        sshd = std::make_unique<SshdServer>();
        ASSERT_TRUE(sshd->Start());
        asyncssh = std::make_unique<AsyncSshServer>();
        ASSERT_TRUE(asyncssh->Start());
    }
    static void TearDownTestSuite() {
        sshd.reset();
        asyncssh.reset();
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(sshd && asyncssh) << "servers did not start";
        if (GetParam() == Server::Sshd) {
            // The session runs as the test account, so its directory has to be the account's.
            own = std::make_unique<TempDir>(0755);
            base = own->Path();
            remoteBase = base;
            ASSERT_TRUE(TestAccount::GiveTo(base));
        } else {
            static std::atomic<int> counter{0};
            std::string name = "t" + std::to_string(++counter);
            base = asyncssh->SftpRoot() + "/" + name;
            remoteBase = "/" + name;
            ASSERT_TRUE(std::filesystem::create_directory(base));
        }
        ASSERT_EQ(host.Connect(Port()), 0) << Describe();
        ASSERT_EQ(host.State(), 3);
        host.Clear();
    }
    void TearDown() override {
        if (GetParam() == Server::AsyncSsh && !base.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(base, ec);
        }
    }

    uint16_t Port() const { return GetParam() == Server::Sshd ? sshd->Port() : asyncssh->Port(); }
    std::string Describe() const { return GetParam() == Server::Sshd ? sshd->Describe() : asyncssh->Describe(); }
    std::string Local(const std::string& name) const { return base + "/" + name; }
    std::string Remote(const std::string& name) const { return remoteBase + "/" + name; }
    // The server's view of the test directory itself.
    const std::string& RemoteDir() const { return remoteBase; }

    // A file or directory the server side may read and write.
    void PutFile(const std::string& name, const std::string& bytes) {
        ASSERT_TRUE(WriteTextFile(Local(name), bytes));
        Own(Local(name));
    }
    void MakeDir(const std::string& name) {
        ASSERT_TRUE(std::filesystem::create_directory(Local(name)));
        Own(Local(name));
    }
    void Own(const std::string& path) {
        if (GetParam() == Server::Sshd) {
            ASSERT_TRUE(TestAccount::GiveTo(path));
        }
    }
    static std::string Read(const std::string& path) { return ReadTextFile(path); }

    inline static std::unique_ptr<SshdServer> sshd;
    inline static std::unique_ptr<AsyncSshServer> asyncssh;

    std::unique_ptr<TempDir> own;
    std::string base;
    std::string remoteBase;
    TempDir local;  // the client's side of transfers
    SftpHost host;
};

}  // namespace velunor::test::sftpio
