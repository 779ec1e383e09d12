// Directory listings against real servers, in all four forms, through the public table.
#include <sys/time.h>

#include <algorithm>
#include <set>

#include "SftpHost.h"

using namespace velunor::test;
using namespace velunor::test::sftpio;

namespace {

using PathSlot = int32_t (*CSftpClientVtbl::*)(CSftpClient*, VARIANT);

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            out.push_back(text.substr(at) + "<no CR LF>");
            break;
        }
        out.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

std::set<std::string> AsSet(const std::vector<std::string>& v) { return {v.begin(), v.end()}; }

uint32_t U32(const FindRecord& r, size_t at) {
    return uint32_t(r[at]) | uint32_t(r[at + 1]) << 8 | uint32_t(r[at + 2]) << 16 | uint32_t(r[at + 3]) << 24;
}
uint64_t U64(const FindRecord& r, size_t at) { return uint64_t(U32(r, at)) | uint64_t(U32(r, at + 4)) << 32; }
std::string CText(const FindRecord& r, size_t at, size_t room) {
    const char* p = reinterpret_cast<const char*>(r.data() + at);
    return std::string(p, strnlen(p, room));
}
uint64_t FileTimeOf(int64_t unixSeconds) { return uint64_t(unixSeconds + 11644473600LL) * 10000000ULL; }

constexpr const char* kLong = "a-long-file-name.txt";
constexpr int64_t kWriteTime = 1600000000;
constexpr int64_t kAccessTime = 1500000000;

class SftpListing : public SftpServerTest {
protected:
    // A directory with two files, a subdirectory and (from the server) "." and "..".
    void MakeTree() {
        MakeDir("tree");
        PutFile("tree/" + std::string(kLong), "hello");
        PutFile("tree/b.bin", std::string(70000, 'b'));
        MakeDir("tree/sub");
        timeval times[2] = {{kAccessTime, 0}, {kWriteTime, 0}};
        ASSERT_EQ(utimes(Local("tree/" + std::string(kLong)).c_str(), times), 0);
    }
    // Text of every OnText, in order.
    std::string TextEvents() const {
        std::string all;
        for (const auto& e : host.Of("OnText")) all += e.text;
        return all;
    }
};

TEST_P(SftpListing, NamesMarkDirectoriesAndCollectResultText) {
    MakeTree();
    ASSERT_EQ(host.Path(host.T().ListNames, Remote("tree")), 0) << host.LastResult();
    EXPECT_EQ(AsSet(Lines(host.ResultText())),
              (std::set<std::string>{"./", "../", kLong, "b.bin", "sub/"}));
    EXPECT_EQ(TextEvents(), host.ResultText());
    EXPECT_EQ(host.LastResult(), "0 ");
    EXPECT_EQ(host.State(), 3);
}

TEST_P(SftpListing, FindDataRecordsDescribeEachEntry) {
    MakeTree();
    host.T().put_UtcTimes(host.C(), 1);
    ASSERT_EQ(host.Path(host.T().ListFindData, Remote("tree")), 0) << host.LastResult();
    ASSERT_EQ(host.records.size(), 5u);
    size_t delivered = 0;
    for (const auto& e : host.Of("OnListData")) delivered += size_t(e.a);
    EXPECT_EQ(delivered, 5u);
    EXPECT_TRUE(host.Of("OnText").empty());

    std::map<std::string, FindRecord> byName;
    for (const auto& r : host.records) byName[CText(r, 44, 260)] = r;
    ASSERT_EQ(byName.size(), 5u);
    for (const auto& [name, r] : byName) {
        SCOPED_TRACE(name);
        bool dir = name == "." || name == ".." || name == "sub";
        EXPECT_EQ(U32(r, 0), dir ? 0x10u : 0u);
        EXPECT_EQ(U64(r, 4), 0u);   // creation time
        EXPECT_EQ(U64(r, 36), 0u);  // reserved
        EXPECT_EQ(CText(r, 304, 14), name.substr(0, 13));
        EXPECT_EQ(r[318], 0);
        EXPECT_EQ(r[319], 0);
        EXPECT_NE(U64(r, 20), 0u);  // every real entry has a modification time
    }
    const FindRecord& f = byName[kLong];
    EXPECT_EQ(U32(f, 28), 0u);
    EXPECT_EQ(U32(f, 32), 5u);
    EXPECT_EQ(U64(f, 12), FileTimeOf(kAccessTime));
    EXPECT_EQ(U64(f, 20), FileTimeOf(kWriteTime));
    EXPECT_EQ(U32(byName["b.bin"], 32), 70000u);
    EXPECT_EQ(CText(f, 304, 14), "a-long-file-n");

    // The text form carries the servers' long names, one line per entry.
    auto lines = Lines(host.ResultText());
    ASSERT_EQ(lines.size(), 5u) << host.ResultText();
    for (const auto& line : lines) EXPECT_FALSE(line.empty());
}

TEST_P(SftpListing, DirectoryGivesLongNames) {
    MakeTree();
    ASSERT_EQ(host.Path(host.T().ListDirectory, Remote("tree")), 0) << host.LastResult();
    auto lines = Lines(host.ResultText());
    ASSERT_EQ(lines.size(), 5u) << host.ResultText();
    bool sawFile = false, sawSub = false;
    for (const auto& line : lines) {
        if (line.size() > strlen(kLong) && line.compare(line.size() - strlen(kLong), strlen(kLong), kLong) == 0) {
            sawFile = true;
            EXPECT_EQ(line[0], '-') << line;
        }
        if (line.size() > 4 && line.compare(line.size() - 4, 4, " sub") == 0) {
            sawSub = true;
            EXPECT_EQ(line[0], 'd') << line;
        }
    }
    EXPECT_TRUE(sawFile && sawSub) << host.ResultText();
    EXPECT_EQ(TextEvents(), host.ResultText());
}

TEST_P(SftpListing, CheckOpensAndClosesOnly) {
    MakeTree();
    ASSERT_EQ(host.Path(host.T().ListCheck, Remote("tree")), 0) << host.LastResult();
    EXPECT_TRUE(host.Of("OnText").empty());
    EXPECT_TRUE(host.Of("OnListData").empty());
    EXPECT_EQ(host.ResultText(), "");
    EXPECT_EQ(host.LastResult(), "0 ");
}

struct ModeCase {
    const char* name;
    PathSlot slot;
};
const ModeCase kModes[] = {{"ListNames", &CSftpClientVtbl::ListNames},
                           {"ListFindData", &CSftpClientVtbl::ListFindData},
                           {"ListDirectory", &CSftpClientVtbl::ListDirectory},
                           {"ListCheck", &CSftpClientVtbl::ListCheck}};

TEST_P(SftpListing, EmptyDirectoryHoldsOnlyDotEntries) {
    MakeDir("empty");
    for (const auto& m : kModes) {
        SCOPED_TRACE(m.name);
        host.Clear();
        ASSERT_EQ(host.Path(host.T().*m.slot, Remote("empty")), 0) << host.LastResult();
        size_t expected = m.slot == &CSftpClientVtbl::ListCheck ? 0 : 2;
        EXPECT_EQ(Lines(host.ResultText()).size(), expected) << host.ResultText();
        if (m.slot == &CSftpClientVtbl::ListNames) {
            EXPECT_EQ(AsSet(Lines(host.ResultText())), (std::set<std::string>{"./", "../"}));
        }
        if (m.slot == &CSftpClientVtbl::ListFindData) {
            EXPECT_EQ(host.records.size(), 2u);
        }
        EXPECT_EQ(host.LastResult(), "0 ");
    }
}

TEST_P(SftpListing, MissingDirectoryIsServerError) {
    for (const auto& m : kModes) {
        SCOPED_TRACE(m.name);
        host.Clear();
        EXPECT_EQ(host.Path(host.T().*m.slot, Remote("missing")), 30018);
        EXPECT_EQ(host.LastResult(), "30018 Server error: No such file or folder");
        EXPECT_EQ(host.ServerStatusText(), "No such file or folder");
        EXPECT_EQ(host.ServerStatusCode(), 2);
        EXPECT_TRUE(host.Of("OnText").empty());
        EXPECT_EQ(host.State(), 3);
    }
    // The connection stays usable.
    EXPECT_EQ(host.Path(host.T().ListCheck, RemoteDir()), 0) << host.LastResult();
}

class SftpListingBatches : public SftpListing {
protected:
    void SetUp() override {
        SftpListing::SetUp();
        if (HasFatalFailure()) return;
        MakeDir("many");
        for (int i = 0; i < 300; ++i) {
            char name[16];
            snprintf(name, sizeof name, "f%03d", i);
            ASSERT_TRUE(WriteTextFile(Local("many/" + std::string(name)), "x"));
            expected.insert(name);
        }
        expected.insert("./");
        expected.insert("../");
    }
    std::set<std::string> expected;
};

TEST_P(SftpListingBatches, EachBatchArrivesOnceAndResultTextHoldsAll) {
    ASSERT_EQ(host.Path(host.T().ListNames, Remote("many")), 0) << host.LastResult();
    auto texts = host.Of("OnText");
    EXPECT_GT(texts.size(), 1u) << "the server sent one batch";
    std::vector<std::string> joined;
    for (const auto& t : texts) {
        auto lines = Lines(t.text);
        EXPECT_FALSE(lines.empty());
        joined.insert(joined.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(joined.size(), expected.size());  // no line twice
    EXPECT_EQ(AsSet(joined), expected);
    EXPECT_EQ(TextEvents(), host.ResultText());

    host.Clear();
    ASSERT_EQ(host.Path(host.T().ListFindData, Remote("many")), 0) << host.LastResult();
    EXPECT_GT(host.Of("OnListData").size(), 1u);
    EXPECT_EQ(host.records.size(), expected.size());
}

TEST_P(SftpListingBatches, AbortFromOnTextEndsTheListing) {
    int aborts = 0;
    host.onText = [&](SftpHost& h, const std::string&) {
        if (aborts++ == 0) h.T().Abort(h.C());
    };
    EXPECT_EQ(host.Path(host.T().ListNames, Remote("many")), 30037);
    EXPECT_EQ(host.Of("OnText").size(), 1u);
    EXPECT_EQ(host.LastResult(), "30037 Current method was aborted");
    EXPECT_EQ(host.Of("OnResult").size(), 1u);
    EXPECT_EQ(host.State(), 3);
    host.onText = nullptr;
    // The next listing is not cut short by the old request, and the closing reply was consumed.
    host.Clear();
    ASSERT_EQ(host.Path(host.T().ListNames, Remote("many")), 0) << host.LastResult();
    EXPECT_EQ(AsSet(Lines(host.ResultText())), expected);
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpListing, ::testing::Values(Server::Sshd, Server::AsyncSsh), ServerName);
INSTANTIATE_TEST_SUITE_P(Servers, SftpListingBatches, ::testing::Values(Server::Sshd, Server::AsyncSsh), ServerName);

}  // namespace
