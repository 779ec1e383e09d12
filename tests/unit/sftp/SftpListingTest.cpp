// Directory listings in their four modes.
#include "unit/sftp/SftpFixture.h"

using namespace sftptest;

namespace {

using DirEntry = FakeServer::DirEntry;

class SftpListing : public SftpTest {
protected:
    void AddSample() {
        server.batches["/d"] = {
            {{".", "drwxr-xr-x . ", 040755, 0, 0}, {"..", "drwxr-xr-x ..", 040755, 0, 0},
             {"file.txt", "-rw-r--r-- file.txt", 0100644, 0x100000002ull, 1000}},
            {{"sub", "drwxr-xr-x sub", 040700, 0, 0}, {"x/y", "drwxr-xr-x x/y", 040700, 0, 0},
             {"sock", "srwxr-xr-x sock", 0140755, 0, 0}},
        };
    }
    std::vector<uint8_t> Types() const {
        std::vector<uint8_t> types;
        for (auto& r : sink.sent) types.push_back(r.type);
        return types;
    }
};

uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t Le64(const Bytes& b, size_t at) { return Le32(b, at) | uint64_t(Le32(b, at + 4)) << 32; }
std::string CStr(const Bytes& b, size_t at) { return std::string(reinterpret_cast<const char*>(b.data() + at)); }
uint64_t FileTime(uint64_t seconds) { return (seconds + 11644473600ull) * 10000000ull; }

}  // namespace

TEST_F(SftpListing, NamesModeMarksDirectoriesPerBatch) {
    AddSample();
    ASSERT_EQ(t->ListNames(host, Path("/d")), 0);
    EXPECT_EQ(sink.sent[0].fields, Wire().S("/d").b);
    Serve();
    EXPECT_EQ(Types(), (std::vector<uint8_t>{11, 12, 12, 12, 4}));
    EXPECT_EQ(sink.sent[1].fields, Wire().S("d:/d").b);
    EXPECT_EQ(seen.texts, (std::vector<std::string>{"./\r\n../\r\nfile.txt\r\n", "sub/\r\nx/y\r\nsock\r\n"}));
    EXPECT_EQ(ResultText(), "./\r\n../\r\nfile.txt\r\nsub/\r\nx/y\r\nsock\r\n");
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(seen.states, (std::vector<int32_t>{6, 3}));
    EXPECT_TRUE(seen.listData.empty());
}

TEST_F(SftpListing, DirectoryModeGivesLongNames) {
    AddSample();
    ASSERT_EQ(t->ListDirectory(host, Path("/d")), 0);
    Serve();
    ASSERT_EQ(seen.texts.size(), 2u);
    EXPECT_EQ(seen.texts[1], "drwxr-xr-x sub\r\ndrwxr-xr-x x/y\r\nsrwxr-xr-x sock\r\n");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpListing, FindDataModeDeliversRecordsPerBatch) {
    AddSample();
    c->UtcTimes = 1;
    ASSERT_EQ(t->ListFindData(host, Path("/d")), 0);
    Serve();
    EXPECT_TRUE(seen.texts.empty());
    ASSERT_EQ(seen.listData.size(), 2u);
    ASSERT_EQ(seen.listData[0].size(), 3 * 320u);
    const Bytes& b = seen.listData[0];
    EXPECT_EQ(Le32(b, 0), 0x10u);
    EXPECT_EQ(CStr(b, 44), ".");
    EXPECT_EQ(Le64(b, 20), 0u);  // a time of 0 stays zero
    size_t f = 2 * 320;
    EXPECT_EQ(Le32(b, f), 0u);
    EXPECT_EQ(Le64(b, f + 4), 0u);
    EXPECT_EQ(Le64(b, f + 12), FileTime(1000));
    EXPECT_EQ(Le64(b, f + 20), FileTime(1000));
    EXPECT_EQ(Le32(b, f + 28), 1u);
    EXPECT_EQ(Le32(b, f + 32), 2u);
    EXPECT_EQ(CStr(b, f + 44), "file.txt");
    EXPECT_EQ(CStr(b, f + 304), "file.txt");
    EXPECT_EQ(Le32(seen.listData[1], 2 * 320), 0u);  // a socket is not a directory
    EXPECT_EQ(ResultText().substr(0, 15), "drwxr-xr-x . \r\n");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpListing, CheckModeOpensAndClosesOnly) {
    AddSample();
    ASSERT_EQ(t->ListCheck(host, Path("/d")), 0);
    Serve();
    EXPECT_EQ(Types(), (std::vector<uint8_t>{11, 4}));
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_EQ(seen.results, Ok());
    seen.results.clear();
    ASSERT_EQ(t->ListCheck(host, Path("/missing")), 0);
    Serve();
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{
                                {30018, "Server error: No such file or folder"}}));
}

TEST_F(SftpListing, EmptyDirectoryByEofOrEmptyName) {
    for (bool emptyName : {false, true}) {
        seen = Recorder{};
        server.batches["/e"] = {};
        if (emptyName) server.batches["/e"].push_back({});
        ASSERT_EQ(t->ListFindData(host, Path("/e")), 0);
        Serve();
        EXPECT_TRUE(seen.texts.empty());
        EXPECT_TRUE(seen.listData.empty());
        EXPECT_EQ(ResultText(), "");
        EXPECT_EQ(seen.results, Ok());
        EXPECT_EQ(sink.sent.back().type, 4);
    }
}

TEST_F(SftpListing, LongNamesAreCutOnCharacterBoundaries) {
    std::string ascii(300, 'n');
    std::string wide;
    for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";  // two bytes each
    server.batches["/d"] = {{{ascii, "", 0100644, 0, 0}, {wide, "", 0100644, 0, 0}}};
    ASSERT_EQ(t->ListFindData(host, Path("/d")), 0);
    Serve();
    ASSERT_EQ(seen.listData.size(), 1u);
    const Bytes& b = seen.listData[0];
    EXPECT_EQ(CStr(b, 44), ascii.substr(0, 259));
    EXPECT_EQ(CStr(b, 304), ascii.substr(0, 13));
    EXPECT_EQ(CStr(b, 320 + 44), wide.substr(0, 258));
    EXPECT_EQ(CStr(b, 320 + 304), wide.substr(0, 12));
}

TEST_F(SftpListing, AbortIsReportedWhenTheCloseIsAnswered) {
    AddSample();
    ASSERT_EQ(t->ListNames(host, Path("/d")), 0);
    Serve(2);  // OPENDIR and the first READDIR
    EXPECT_EQ(seen.texts.size(), 1u);
    t->Abort(host);
    Serve(1);  // the second batch arrives: the listing closes instead of reading on
    EXPECT_EQ(sink.sent.back().type, 4);
    EXPECT_TRUE(seen.results.empty());
    EXPECT_EQ(c->state, velunor::StateExecuting);
    EXPECT_TRUE(c->operationPending);
    Serve();
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30037, "Current method was aborted"}}));
    EXPECT_EQ(c->state, velunor::StateIdle);
    EXPECT_TRUE(AllAnswered());
}

TEST_F(SftpListing, StaleAbortDoesNotStopALaterListing) {
    AddSample();
    t->Abort(host);
    ASSERT_EQ(t->ListNames(host, Path("/d")), 0);
    Serve();
    EXPECT_EQ(seen.texts.size(), 2u);
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpListing, BadReadDirectoryReplies) {
    struct Case {
        const char* name;
        Wire reply;
        int32_t code;
        std::string text;
        bool closes;
    } cases[] = {
        {"handle", Wire().U8(102).U32(0).S("h"), 30017, "Server returned invalid response to FXP_READDIR", false},
        {"entry cut short", Wire().U8(104).U32(0).U32(2).S("a").S("b").U32(0), 30017,
         "Server returned invalid response to FXP_READDIR", false},
        {"ok status", FakeServer::Status(0, 0), 30018, "Server error: OK", true},
        {"denied", FakeServer::Status(0, 3), 30018, "Server error: Permission denied", false},
    };
    server.batches["/d"] = {};
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        seen = Recorder{};
        ASSERT_EQ(t->ListNames(host, Path("/d")), 0);
        Serve(1);
        answered = sink.sent.size();
        Wire reply = k.reply;
        if (reply.b[0] != 101) {
            uint32_t id = c->requestId;
            for (int i = 0; i < 4; ++i) reply.b[1 + i] = uint8_t(id >> (24 - 8 * i));
        }
        Feed(reply);
        EXPECT_EQ(sink.sent.back().type == 4, k.closes);
        Serve();
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.results[0], std::make_pair(k.code, k.text));
        EXPECT_EQ(c->state, velunor::StateIdle);
    }
}

namespace {

// Sydney: daylight time from October to April, across the new year.
class SftpSouthernListing : public SftpListing {
protected:
    const char* Zone() const override { return "AEST-10AEDT,M10.1.0,M4.1.0/3"; }
};

}  // namespace

TEST_F(SftpSouthernListing, EntryTimesShiftByTheBiasInForceThen) {
    const uint32_t january = 1705320000;  // 2024-01-15 12:00 UTC, daylight time
    const uint32_t july = 1721044800;     // 2024-07-15 12:00 UTC, standard time
    server.batches["/d"] = {{{"summer", "", 0100644, 0, january}, {"winter", "", 0100644, 0, july}}};
    ASSERT_EQ(t->ListFindData(host, Path("/d")), 0);
    Serve();
    ASSERT_EQ(seen.listData.size(), 1u);
    EXPECT_EQ(Le64(seen.listData[0], 20), FileTime(january + 11 * 3600));
    EXPECT_EQ(Le64(seen.listData[0], 320 + 20), FileTime(july + 10 * 3600));
}
