#pragma once

// A component wired to an in-process packet sink, a scripted server that answers its requests,
// and a recorder of the callbacks it fires. No connection is involved: the state is set to idle
// as after a connect.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/CWireReader.h"
#include "client/CSftpClient.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"
#include "ssh/CSftpPacket.h"
#include "ssh/CSftpPacketSink.h"

namespace sftptest {

using Bytes = std::vector<uint8_t>;

inline std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// SSH wire encodings for building replies and reading requests.
struct Wire {
    Bytes b;
    Wire& U8(uint8_t v) { b.push_back(v); return *this; }
    Wire& U32(uint32_t v) {
        for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Wire& U64(uint64_t v) { return U32(uint32_t(v >> 32)).U32(uint32_t(v)); }
    Wire& S(const std::string& s) {
        U32(uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Wire& Raw(const Bytes& r) {
        b.insert(b.end(), r.begin(), r.end());
        return *this;
    }
};

// A request as the sink received it: type, id, then its fields.
struct Request {
    uint8_t type = 0;
    uint32_t id = 0;
    Bytes fields;
    velunor::CWireReader Reader() const { return velunor::CWireReader(std::span<const uint8_t>(fields)); }
};

class FakeSink : public velunor::CSftpPacketSink {
public:
    void SendSftpPacket(std::unique_ptr<velunor::CSftpPacket> packet) override {
        auto bytes = packet->body.Bytes();
        Request r;
        r.type = bytes[4];
        velunor::CWireReader in(bytes.subspan(5));
        r.id = in.Uint32();
        auto rest = in.Rest();
        r.fields.assign(rest.begin(), rest.end());
        sent.push_back(r);
    }
    std::vector<Request> sent;
};

struct FileInfo {
    uint32_t sizeLow, sizeHigh, uid, gid, permissions;
    double accessTime, modifyTime;
};

struct Recorder {
    std::vector<int32_t> states;  // the state after each change
    std::vector<std::pair<int32_t, std::string>> results;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::vector<std::string> texts;
    std::vector<Bytes> listData;  // the records of each OnListData call
    std::vector<FileInfo> fileInfo;
    bool abortOnProgress = false;
};

inline Recorder*& CurrentRecorder() {
    static Recorder* r = nullptr;
    return r;
}

inline SftpEvents RecordingEvents() {
    SftpEvents e{};
    e.OnStateChange = [](CSftpClient* c, int32_t) {
        CurrentRecorder()->states.push_back(static_cast<velunor::CSftpClient*>(c)->state);
    };
    e.OnResult = [](CSftpClient*, int32_t code, const char* text) {
        CurrentRecorder()->results.emplace_back(code, text);
    };
    e.OnProgress = [](CSftpClient* c, uint32_t dl, uint32_t dh, uint32_t tl, uint32_t th) {
        CurrentRecorder()->progress.emplace_back((uint64_t(dh) << 32) | dl, (uint64_t(th) << 32) | tl);
        if (CurrentRecorder()->abortOnProgress) c->vtbl->Abort(c);
    };
    e.OnText = [](CSftpClient*, const char* text) { CurrentRecorder()->texts.emplace_back(text); };
    e.OnListData = [](CSftpClient*, uint32_t count, const void* records) {
        auto* p = static_cast<const uint8_t*>(records);
        CurrentRecorder()->listData.emplace_back(p, p + size_t(count) * 320);
    };
    e.OnFileInfo = [](CSftpClient*, uint32_t sl, uint32_t sh, uint32_t uid, uint32_t gid, uint32_t perm, double at,
                      double mt) { CurrentRecorder()->fileInfo.push_back({sl, sh, uid, gid, perm, at, mt}); };
    return e;
}

// A remote file system that answers requests the way real servers do (READDIR in batches, EOF
// as a STATUS).
struct RemoteEntry {
    std::string data;
    uint32_t permissions = 0100644;
    uint32_t atime = 0;
    uint32_t mtime = 0;
};

class FakeServer {
public:
    std::map<std::string, RemoteEntry> entries;
    // READDIR batches per directory path: each batch is a list of (name, long name, permissions).
    struct DirEntry {
        std::string name, longName;
        uint32_t permissions;
        uint64_t size;
        uint32_t mtime;
    };
    std::map<std::string, std::vector<std::vector<DirEntry>>> batches;
    uint32_t maxRead = 0xFFFFFFFF;  // a server may return less than asked

    void AddDirectory(const std::string& path) { entries[path].permissions = 040755; }
    void AddFile(const std::string& path, const std::string& data) { entries[path].data = data; }

    // The reply to one request; empty when the server stays silent.
    Wire Answer(const Request& r) {
        auto in = r.Reader();
        Wire w;
        switch (r.type) {
            case 17:  // STAT
            case 7: {  // LSTAT
                std::string path(in.Text());
                if (path.size() > 1 && path.back() == '/') path.pop_back();
                auto it = entries.find(path);
                if (it == entries.end()) return Status(r.id, 2);
                w.U8(105).U32(r.id).U32(0xF).U64(it->second.data.size()).U32(1000).U32(100);
                w.U32(it->second.permissions).U32(it->second.atime).U32(it->second.mtime);
                return w;
            }
            case 3: {  // OPEN
                std::string path(in.Text());
                uint32_t pflags = in.Uint32();
                auto it = entries.find(path);
                if (it == entries.end()) {
                    if (!(pflags & 0x08)) return Status(r.id, 2);
                    entries[path] = RemoteEntry{};
                } else if (pflags & 0x10) {
                    it->second.data.clear();
                }
                openFlags.push_back(pflags);
                return w.U8(102).U32(r.id).S("h:" + path);
            }
            case 11: {  // OPENDIR
                std::string path(in.Text());
                if (!batches.count(path)) return Status(r.id, 2);
                next[path] = 0;
                return w.U8(102).U32(r.id).S("d:" + path);
            }
            case 12: {  // READDIR
                std::string path(in.Text());
                path = path.substr(2);
                auto& list = batches[path];
                size_t& n = next[path];
                if (n >= list.size()) return Status(r.id, 1);
                auto& batch = list[n++];
                w.U8(104).U32(r.id).U32(uint32_t(batch.size()));
                for (auto& e : batch) {
                    w.S(e.name).S(e.longName).U32(0xD).U64(e.size).U32(e.permissions).U32(e.mtime).U32(e.mtime);
                }
                return w;
            }
            case 5: {  // READ
                std::string handle(in.Text());
                uint64_t offset = in.Uint64();
                uint32_t length = in.Uint32();
                readLengths.push_back(length);
                readOffsets.push_back(offset);
                auto& data = entries[handle.substr(2)].data;
                if (offset >= data.size()) return Status(r.id, 1);
                size_t n = std::min<uint64_t>({length, data.size() - offset, maxRead});
                return w.U8(103).U32(r.id).S(data.substr(size_t(offset), n));
            }
            case 6: {  // WRITE
                std::string handle(in.Text());
                uint64_t offset = in.Uint64();
                std::string data(in.Text());
                writes.emplace_back(offset, data);
                auto& file = entries[handle.substr(2)].data;
                if (file.size() < offset + data.size()) file.resize(size_t(offset + data.size()), '\0');
                file.replace(size_t(offset), data.size(), data);
                return Status(r.id, 0);
            }
            case 4:  // CLOSE
                ++closes;
                return Status(r.id, 0);
            case 16: {  // REALPATH
                std::string path(in.Text());
                return w.U8(104).U32(r.id).U32(1).S("/home/u/" + path).S("").U32(0);
            }
            default:
                return Status(r.id, 0);
        }
    }

    static Wire Status(uint32_t id, uint32_t code) {
        Wire w;
        w.U8(101).U32(id).U32(code).S("message").S("en");
        return w;
    }

    std::vector<uint32_t> openFlags;
    std::vector<uint32_t> readLengths;
    std::vector<uint64_t> readOffsets;
    std::vector<std::pair<uint64_t, std::string>> writes;
    int closes = 0;

private:
    std::map<std::string, size_t> next;
};

// Sets TZ for the lifetime of the object and puts the previous value back.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = getenv("TZ")) saved = old, hadOld = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (hadOld)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string saved;
    bool hadOld = false;
};

class SftpTest : public testing::Test {
protected:
    // The zone the component is constructed in.
    virtual const char* Zone() const { return "UTC0"; }

    void SetUp() override {
        tz = std::make_unique<ScopedTz>(Zone());
        char pattern[] = "/tmp/velunor_sftp_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        if (const char* old = getenv("TMPDIR")) savedTmp = old, hadTmp = true;
        setenv("TMPDIR", dir.c_str(), 1);
        CurrentRecorder() = &seen;
        events = RecordingEvents();
        host = SFTP_Create(&events);
        ASSERT_NE(host, nullptr);
        c = static_cast<velunor::CSftpClient*>(host);
        c->state = velunor::StateIdle;
        c->sftpSink = &sink;
        t = host->vtbl;
    }

    void TearDown() override {
        SFTP_Delete(host);
        CurrentRecorder() = nullptr;
        if (hadTmp)
            setenv("TMPDIR", savedTmp.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::filesystem::remove_all(dir);
        tz.reset();
    }

    // Hands one reply to the dispatcher.
    void Feed(const Wire& reply) {
        velunor::CSftpPacket packet;
        packet.type = reply.b[0];
        packet.length = uint32_t(reply.b.size());
        if (reply.b.size() > 1) packet.body.Append(reply.b.data() + 1, uint32_t(reply.b.size() - 1));
        c->OnSftpPacket(packet);
    }

    // Lets the server answer every request not yet answered, in order, until none is left.
    void Serve(size_t maxReplies = 100000) {
        while (answered < sink.sent.size() && maxReplies-- > 0) {
            Request r = sink.sent[answered++];
            Wire reply = server.Answer(r);
            if (!reply.b.empty()) Feed(reply);
        }
    }
    // Answers exactly one pending request.
    void ServeOne() { Serve(1); }
    bool AllAnswered() const { return answered == sink.sent.size(); }

    VARIANT Path(const std::string& path) {
        BSTR b = velunor::platform::AllocBstrFromUtf8(path);
        bstrs.push_back(b);
        return velunor::platform::BstrVariant(b);
    }
    BSTR Text(const std::string& text) {
        BSTR b = velunor::platform::AllocBstrFromUtf8(text);
        bstrs.push_back(b);
        return b;
    }
    static VARIANT Missing() { return velunor::platform::MissingVariant(); }

    std::string Local(const std::string& name) const { return dir + "/" + name; }
    static std::string ReadLocal(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    static void WriteLocal(const std::string& path, const std::string& data) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << data;
    }
    std::string ResultText() const { return c->ResultText.ToUtf8(); }
    std::string ErrorText() const { return c->lastErrorText.ToUtf8(); }
    size_t TempFiles() const {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind("tmp", 0) == 0) ++n;
        return n;
    }

    std::vector<std::pair<int32_t, std::string>> Ok() const { return {{0, ""}}; }

    std::unique_ptr<ScopedTz> tz;
    std::string dir;
    std::string savedTmp;
    bool hadTmp = false;
    Recorder seen;
    SftpEvents events{};
    CSftpClient* host = nullptr;
    velunor::CSftpClient* c = nullptr;
    const CSftpClientVtbl* t = nullptr;
    FakeSink sink;
    FakeServer server;
    size_t answered = 0;
    std::vector<BSTR> bstrs;

public:
    ~SftpTest() override {
        for (BSTR b : bstrs) SysFreeString(b);
    }
};

inline std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 251) % 26);
    return s;
}

}  // namespace sftptest
