// Requests, the dispatcher's central handling and the one-request operations.
#include <cmath>

#include "client/ErrorTable.h"
#include "sftp/SftpTime.h"
#include "support/HostClient.h"
#include "unit/sftp/SftpFixture.h"

using namespace sftptest;

namespace {

class SftpCommand : public SftpTest {};

struct CommandCase {
    const char* name;
    int32_t (*start)(SftpTest&, CSftpClient*, const CSftpClientVtbl*, VARIANT);
    uint8_t type;
    Bytes fields;
};

int32_t DoMkdir(SftpTest&, CSftpClient* h, const CSftpClientVtbl* t, VARIANT p) { return t->MakeDirectory(h, p); }
int32_t DoRmdir(SftpTest&, CSftpClient* h, const CSftpClientVtbl* t, VARIANT p) { return t->RemoveDirectory(h, p); }
int32_t DoRemove(SftpTest&, CSftpClient* h, const CSftpClientVtbl* t, VARIANT p) { return t->DeleteFile(h, p); }
BSTR NewName() {
    static BSTR b = velunor::platform::AllocBstrFromUtf8("/new name");
    return b;
}
int32_t DoRename(SftpTest&, CSftpClient* h, const CSftpClientVtbl* t, VARIANT p) { return t->Rename(h, NewName(), p); }

const CommandCase kCommands[] = {
    {"MakeDirectory", DoMkdir, 14, Wire().S("/p/d").U32(0).b},
    {"RemoveDirectory", DoRmdir, 15, Wire().S("/p/d").b},
    {"DeleteFile", DoRemove, 13, Wire().S("/p/d").b},
    {"Rename", DoRename, 18, Wire().S("/p/d").S("/new name").b},
};

class SftpCommandTable : public SftpTest, public testing::WithParamInterface<CommandCase> {};

}  // namespace

TEST_P(SftpCommandTable, SendsItsRequestAndEndsOnOk) {
    const CommandCase& k = GetParam();
    uint32_t id = c->requestId;
    ASSERT_EQ(k.start(*this, host, t, Path("/p/d")), 0);
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].type, k.type);
    EXPECT_EQ(sink.sent[0].id, id);
    EXPECT_EQ(sink.sent[0].fields, k.fields);
    EXPECT_EQ(c->state, velunor::StateExecuting);
    EXPECT_TRUE(c->operationPending);
    Feed(FakeServer::Status(id, 0));
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(seen.states, (std::vector<int32_t>{6, 3}));
    EXPECT_FALSE(c->operationPending);
    // A STATUS does not advance the id: the next request carries the same one.
    EXPECT_EQ(c->requestId, id);
}

TEST_P(SftpCommandTable, ErrorStatusIsReportedWithItsText) {
    const CommandCase& k = GetParam();
    ASSERT_EQ(k.start(*this, host, t, Path("/p/d")), 0);
    Feed(FakeServer::Status(sink.sent[0].id, 2));
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0], std::make_pair(30018, std::string("Server error: No such file or folder")));
    EXPECT_EQ(c->ServerStatusCode, 2);
    EXPECT_EQ(c->ServerStatusText.ToUtf8(), "No such file or folder");
    EXPECT_EQ(c->state, velunor::StateIdle);
}

TEST_P(SftpCommandTable, ShortStatusIsAnInvalidResponse) {
    const CommandCase& k = GetParam();
    ASSERT_EQ(k.start(*this, host, t, Path("/p/d")), 0);
    Feed(Wire().U8(101).U32(sink.sent[0].id).U8(0));
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0].first, 30017);
    EXPECT_EQ(c->state, velunor::StateIdle);
}

INSTANTIATE_TEST_SUITE_P(Commands, SftpCommandTable, testing::ValuesIn(kCommands),
                         [](const testing::TestParamInfo<CommandCase>& i) { return std::string(i.param.name); });

TEST_F(SftpCommand, StatusTextsCoverTheTableAndUnknownCodes) {
    const std::pair<uint32_t, const char*> kTexts[] = {
        {1, "End of file"},          {3, "Permission denied"},  {4, "General failure"},
        {5, "Bad message"},          {6, "No connection"},      {7, "Connection lost"},
        {8, "Operation unsupported"}, {99, "<unknown>"},
    };
    for (auto& [code, text] : kTexts) {
        seen.results.clear();
        ASSERT_EQ(t->MakeDirectory(host, Path("/x")), 0);
        Feed(FakeServer::Status(c->requestId, code));
        ASSERT_EQ(seen.results.size(), 1u) << code;
        EXPECT_EQ(seen.results[0].second, std::string("Server error: ") + text);
    }
}

TEST_F(SftpCommand, RefusedWhenDisconnectedOrBusy) {
    struct Case {
        int32_t state;
        bool sink;
        int32_t code;
    } cases[] = {{0, true, 30006}, {1, true, 30006}, {3, false, 30006}, {4, true, 30007}, {6, true, 30007}};
    for (auto& k : cases) {
        c->state = k.state;
        c->sftpSink = k.sink ? &sink : nullptr;
        EXPECT_EQ(t->MakeDirectory(host, Path("/x")), k.code);
        EXPECT_EQ(t->ListNames(host, Path("/x")), k.code);
        EXPECT_EQ(t->Download(host, Path(Local("a")), Path("/x")), k.code);
        EXPECT_EQ(t->Upload(host, Path(Local("a")), Path("/x")), k.code);
        EXPECT_EQ(t->UploadData(host, nullptr, 0, Path("/x")), k.code);
        EXPECT_EQ(t->DownloadData(host, Path("/x")), k.code);
        EXPECT_EQ(t->CloseRemoteHandle(host), k.code);
        EXPECT_EQ(c->state, k.state);
    }
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_TRUE(seen.results.empty());
}

TEST_F(SftpCommand, StrayRepliesWhileIdleFireNothing) {
    ASSERT_EQ(t->MakeDirectory(host, Path("/x")), 0);
    Feed(FakeServer::Status(sink.sent[0].id, 0));
    seen = Recorder{};
    Feed(FakeServer::Status(sink.sent[0].id, 0));
    Feed(FakeServer::Status(sink.sent[0].id, 4));
    EXPECT_TRUE(seen.results.empty());
    EXPECT_TRUE(seen.states.empty());
}

TEST_F(SftpCommand, StaleAbortDoesNotEndTheNextOperation) {
    t->Abort(host);
    ASSERT_EQ(t->MakeDirectory(host, Path("/x")), 0);
    EXPECT_FALSE(c->abortRequested);
    Feed(FakeServer::Status(sink.sent[0].id, 0));
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpCommand, ResolvePathGivesTheServersName) {
    ASSERT_EQ(t->ResolvePath(host, Path(".")), 0);
    EXPECT_EQ(sink.sent[0].type, 16);
    EXPECT_EQ(sink.sent[0].fields, Wire().S(".").b);
    Serve();
    EXPECT_EQ(ResultText(), "/home/u/.");
    EXPECT_EQ(seen.texts, std::vector<std::string>{"/home/u/."});
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpCommand, ResolvePathInvalidReplyIsOneFailure) {
    ASSERT_EQ(t->ResolvePath(host, Path("x")), 0);
    Feed(Wire().U8(105).U32(sink.sent[0].id).U32(0));
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0], std::make_pair(30017, std::string("Server returned invalid response to FXP_REALPATH")));
    EXPECT_TRUE(seen.texts.empty());
    seen.results.clear();
    // A NAME whose first entry is cut short is refused too.
    ASSERT_EQ(t->ResolvePath(host, Path("x")), 0);
    Feed(Wire().U8(104).U32(sink.sent[1].id).U32(1).U32(50).U8('a'));
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0].first, 30017);
}

TEST_F(SftpCommand, ResponseIdMismatchEndsWith30025AndAdvances) {
    ASSERT_EQ(t->ResolvePath(host, Path("x")), 0);
    uint32_t id = sink.sent[0].id;
    Feed(Wire().U8(104).U32(id - 1).U32(1).S("/x").S("").U32(0));
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{
                                {30025, "Server replied with invalid response ID"}}));
    EXPECT_EQ(c->requestId, id + 1);
    EXPECT_EQ(c->state, velunor::StateIdle);
}

TEST_F(SftpCommand, GetAttributesSendsStatOrLstatAndDescribesTheFile) {
    ASSERT_EQ(t->GetAttributes(host, Path("/f"), 0), 0);
    EXPECT_EQ(sink.sent[0].type, 7);
    EXPECT_TRUE(c->operationPending);  // a blocking wait must not return before the reply
    uint32_t id = sink.sent[0].id;
    Feed(Wire().U8(105).U32(id).U32(0xF).U64(0x100000005ull).U32(1000).U32(100).U32(0100644).U32(0x5F5E1000).U32(
        0x12345678));
    EXPECT_EQ(ResultText(),
              "Size 4294967301\r\nUid 1000\r\nGid 100\r\nPermissions 81A4\r\nCreationDate 5F5E1000\r\nModifyDate "
              "12345678\r\n");
    ASSERT_EQ(seen.fileInfo.size(), 1u);
    EXPECT_EQ(seen.fileInfo[0].sizeLow, 5u);
    EXPECT_EQ(seen.fileInfo[0].sizeHigh, 1u);
    EXPECT_EQ(seen.fileInfo[0].permissions, 0100644u);
    EXPECT_EQ(seen.results, Ok());

    ASSERT_EQ(t->GetAttributes(host, Path("/f"), VARIANT_TRUE), 0);
    EXPECT_EQ(sink.sent[1].type, 17);
    Feed(FakeServer::Status(sink.sent[1].id, 0));
    EXPECT_EQ(seen.results.back(), std::make_pair(30017, std::string("Server returned invalid response to FXP_LSTAT")));
    // Attributes cut short are refused, not half taken.
    ASSERT_EQ(t->GetAttributes(host, Path("/f"), 0), 0);
    Feed(Wire().U8(105).U32(sink.sent[2].id).U32(0x1).U32(7));
    EXPECT_EQ(seen.results.back().first, 30017);
}

namespace {

// One hour east of UTC, no daylight time.
class SftpEastZone : public SftpTest {
protected:
    const char* Zone() const override { return "EAST-1"; }
};

constexpr double kHour = 0.04166666666424135;

}  // namespace

TEST_F(SftpEastZone, AttributeDatesShowLocalTimeUnlessUtc) {
    for (int32_t utc : {0, 1}) {
        c->UtcTimes = utc;
        seen.fileInfo.clear();
        ASSERT_EQ(t->GetAttributes(host, Path("/f"), 1), 0);
        Feed(Wire().U8(105).U32(sink.sent.back().id).U32(0x8).U32(86400).U32(0));
        ASSERT_EQ(seen.fileInfo.size(), 1u);
        EXPECT_DOUBLE_EQ(seen.fileInfo[0].modifyTime, 25569.0 + (utc ? 0 : kHour));
        EXPECT_DOUBLE_EQ(seen.fileInfo[0].accessTime, 25570.0 + (utc ? 0 : kHour));
    }
}

namespace {

using velunor::test::DateArg;
using velunor::test::IntArg;

}  // namespace

TEST_F(SftpEastZone, SetAttributesBuildsFlagsFromTheArgumentsGiven) {
    VARIANT m = Missing();
    struct Case {
        const char* name;
        VARIANT sizeLow, sizeHigh, uid, gid, perm, atime, mtime;
        Bytes fields;  // after the path
    } cases[] = {
        {"permissions", m, m, m, m, IntArg(0644), m, m, Wire().U32(0x4).U32(0644).b},
        {"negative size", IntArg(-2), m, m, m, m, m, m, Wire().U32(0x1).U64(uint64_t(-2)).b},
        {"size halves", IntArg(-1), IntArg(2), m, m, m, m, m, Wire().U32(0x1).U64(0x2FFFFFFFFull).b},
        {"uid only", m, m, IntArg(7), m, m, m, m, Wire().U32(0x2).U32(7).U32(0).b},
        {"text uid", m, m, Path("12"), Path("x"), m, m, m, Wire().U32(0x2).U32(12).U32(0).b},
        // 1970-01-02 01:00 local is one day after the epoch in UTC.
        {"modify time", m, m, m, m, m, m, DateArg(25570.0 + 1.0 / 24), Wire().U32(0x8).U32(0).U32(86400).b},
        // Before 1970 a date cannot be represented: it counts as absent.
        {"date before 1970", m, m, m, m, m, DateArg(100.0), m, Bytes{}},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        sink.sent.clear();
        seen.results.clear();
        int32_t r = t->SetAttributes(host, Path("/f"), k.sizeLow, k.sizeHigh, k.uid, k.gid, k.perm, k.atime, k.mtime);
        EXPECT_EQ(r, 0);
        if (k.fields.empty()) {
            EXPECT_TRUE(sink.sent.empty());
            EXPECT_EQ(seen.results, Ok());
            continue;
        }
        ASSERT_EQ(sink.sent.size(), 1u);
        EXPECT_EQ(sink.sent[0].type, 9);
        EXPECT_EQ(sink.sent[0].fields, Wire().S("/f").Raw(k.fields).b);
        Feed(FakeServer::Status(sink.sent[0].id, 0));
        EXPECT_EQ(seen.results, Ok());
    }
}

TEST_F(SftpCommand, SetAttributesShortFormAndInvalidReply) {
    VARIANT m = Missing();
    ASSERT_EQ(t->SetAttributesShort(host, Path("/f"), IntArg(5), m, m, m, m, m), 0);
    EXPECT_EQ(sink.sent[0].fields, Wire().S("/f").U32(0x1).U64(5).b);
    Feed(Wire().U8(105).U32(sink.sent[0].id).U32(0));
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{
                                {30031, "Failed to set attributes. Invalid response from the server"}}));
}

TEST_F(SftpCommand, OpenHandleLongerThan256IsRefused) {
    server.AddFile("/f", "abc");
    for (size_t length : {256u, 257u}) {
        seen.results.clear();
        ASSERT_EQ(t->Download(host, Path(Local("out")), Path("/f")), 0);
        Serve(1);  // STAT
        Feed(Wire().U8(102).U32(sink.sent.back().id).S(std::string(length, 'h')));
        if (length == 256) {
            EXPECT_TRUE(seen.results.empty());
            EXPECT_EQ(sink.sent.back().type, 5);
            EXPECT_EQ(c->transfer.handleLength, 256u);
            c->state = velunor::StateIdle;
            c->operationPending = false;
        } else {
            EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{
                                        {30017, "Server returned invalid response to FXP_OPEN"}}));
        }
        answered = sink.sent.size();
    }
}

TEST_F(SftpCommand, OkStatusWhereAHandleWasDueDoesNotHang) {
    server.AddFile("/f", "abc");
    ASSERT_EQ(t->Download(host, Path(Local("out")), Path("/f")), 0);
    Serve(1);
    Feed(FakeServer::Status(sink.sent.back().id, 0));
    ASSERT_EQ(seen.results.size(), 1u);
    EXPECT_EQ(seen.results[0].first, 30017);
    EXPECT_FALSE(c->operationPending);
}

TEST_F(SftpCommand, CloseRemoteHandleClosesTheHeldHandle) {
    std::memcpy(c->transfer.handle, "hh", 2);
    c->transfer.handleLength = 2;
    ASSERT_EQ(t->CloseRemoteHandle(host), 0);
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].type, 4);
    EXPECT_EQ(sink.sent[0].fields, Wire().S("hh").b);
    Feed(FakeServer::Status(sink.sent[0].id, 0));
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(c->transfer.handleLength, 0u);
}

TEST(SftpDaylightRule, NorthernAndSouthernZones) {
    velunor::platform::TimeZoneInformation north{};
    north.DaylightBias = -60;
    north.DaylightDate.wMonth = 3;
    north.DaylightDate.wDay = 26;
    north.StandardDate.wMonth = 10;
    north.StandardDate.wDay = 29;
    velunor::platform::TimeZoneInformation south = north;
    south.DaylightDate.wMonth = 10;
    south.DaylightDate.wDay = 1;
    south.StandardDate.wMonth = 4;
    south.StandardDate.wDay = 2;
    struct Case {
        int month0, day;
        bool north, south;
    } cases[] = {
        {0, 15, false, true},  {2, 26, false, true},  {2, 27, true, true}, {6, 1, true, false},
        {9, 28, true, true},   {9, 29, false, true},  {3, 1, true, true},   {3, 2, true, false},
        {11, 31, false, true}, {4, 10, true, false},
    };
    for (auto& k : cases) {
        EXPECT_EQ(velunor::DaylightInEffect(north, k.month0, k.day), k.north) << k.month0 << "/" << k.day;
        EXPECT_EQ(velunor::DaylightInEffect(south, k.month0, k.day), k.south) << k.month0 << "/" << k.day;
    }
    velunor::platform::TimeZoneInformation none{};
    EXPECT_FALSE(velunor::DaylightInEffect(none, 6, 1));
}
