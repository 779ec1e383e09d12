// Uploads from local files.
#include "unit/sftp/SftpFixture.h"

using namespace sftptest;

namespace {

class SftpUpload : public SftpTest {
protected:
    void SetUp() override {
        SftpTest::SetUp();
        c->remoteMaxPacket = 32768;
        server.AddDirectory("/up");
    }
    int32_t Start(const std::string& local, const std::string& remote) {
        return t->Upload(host, Path(Local(local)), Path(remote));
    }
    std::string Remote(const std::string& path) { return server.entries[path].data; }
};

struct BlockCase {
    size_t size;
    int32_t bufferSize;
};

class SftpUploadBlocks : public SftpUpload, public testing::WithParamInterface<BlockCase> {};

}  // namespace

TEST_P(SftpUploadBlocks, WritesBlockByBlockWithProgress) {
    const auto [size, buffer] = GetParam();
    std::string content = Pattern(size);
    WriteLocal(Local("in.bin"), content);
    if (buffer != 0) {
        ASSERT_EQ(t->put_BufferSize(host, buffer), 0);
    }
    ASSERT_EQ(Start("in.bin", "/up/new.bin"), 0);
    EXPECT_EQ(sink.sent[0].type, 17);
    EXPECT_EQ(sink.sent[0].fields, Wire().S("/up/new.bin").b);
    Serve();
    // Missing target: its directory is checked, then the file is created and truncated.
    EXPECT_EQ(sink.sent[1].type, 17);
    EXPECT_EQ(sink.sent[1].fields, Wire().S("/up/").b);
    EXPECT_EQ(sink.sent[2].fields, Wire().S("/up/new.bin").U32(0x1A).U32(0).b);

    size_t block = buffer != 0 ? size_t(buffer) : 32768;
    std::vector<std::pair<uint64_t, std::string>> writes;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    for (size_t at = 0; at < size; at += block) {
        writes.emplace_back(at, content.substr(at, block));
        progress.emplace_back(at, size);
    }
    progress.emplace_back(size, size);
    EXPECT_TRUE(server.writes == writes);
    EXPECT_EQ(seen.progress, progress);
    EXPECT_TRUE(Remote("/up/new.bin") == content);
    EXPECT_EQ(sink.sent.back().type, 4);
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(seen.states, (std::vector<int32_t>{5, 3}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SftpUploadBlocks,
                         testing::Values(BlockCase{0, 0}, BlockCase{70000, 0}, BlockCase{70000, 8192}),
                         [](const testing::TestParamInfo<BlockCase>& i) {
                             return "Size" + std::to_string(i.param.size) + "Buffer" +
                                    std::to_string(i.param.bufferSize);
                         });

TEST_F(SftpUpload, SmallServerPacketMakesSmallerBlocks) {
    c->remoteMaxPacket = 10000;
    WriteLocal(Local("in.bin"), Pattern(25000));
    ASSERT_EQ(Start("in.bin", "/up/f"), 0);
    Serve();
    ASSERT_EQ(server.writes.size(), 3u);
    EXPECT_EQ(server.writes[2].first, 20000u);
    EXPECT_TRUE(Remote("/up/f") == Pattern(25000));
}

TEST_F(SftpUpload, DirectoryTargetGetsTheLocalName) {
    WriteLocal(Local("in.bin"), "data");
    ASSERT_EQ(Start("in.bin", "/up"), 0);
    Serve();
    EXPECT_EQ(sink.sent[1].fields, Wire().S("/up/in.bin").b);
    EXPECT_EQ(Remote("/up/in.bin"), "data");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpUpload, TargetChecks) {
    WriteLocal(Local("in.bin"), "data");
    server.AddFile("/plain", "x");
    struct Case {
        const char* remote;
        int32_t code;
        std::string text;
        std::string parentStat;
    } cases[] = {
        {"/nodir/f", 30018, "Server error: No such file or folder", "/nodir/"},
        {"/plain/f", 30020, "Server cannot write to a given path", "/plain/"},
        {"dir\\f", 30018, "Server error: No such file or folder", "dir/"},
        {"bare", 0, "", "."},
    };
    server.AddDirectory(".");
    for (auto& k : cases) {
        SCOPED_TRACE(k.remote);
        seen = Recorder{};
        size_t first = sink.sent.size();
        ASSERT_EQ(t->UploadFresh(host, Path(Local("in.bin")), Path(k.remote)), 0);
        Serve();
        EXPECT_EQ(sink.sent[first + 1].fields, Wire().S(k.parentStat).b);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.results[0], std::make_pair(k.code, k.text));
        EXPECT_EQ(c->state, velunor::StateIdle);
    }
}

TEST_F(SftpUpload, LocalFileMustExist) {
    EXPECT_EQ(Start("missing", "/up/f"), 30021);
    std::filesystem::create_directory(Local("adir"));
    EXPECT_EQ(Start("adir", "/up/f"), 30021);
    EXPECT_EQ(ErrorText(), "LocalPath should specify a file, and such file does not exist");
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_EQ(c->state, velunor::StateIdle);
}

TEST_F(SftpUpload, ResumeContinuesFromTheRemoteSize) {
    std::string content = Pattern(3000);
    WriteLocal(Local("in.bin"), content);
    server.AddFile("/up/f", content.substr(0, 1000));
    c->Resume = true;
    ASSERT_EQ(Start("in.bin", "/up/f"), 0);
    Serve();
    EXPECT_EQ(server.openFlags, std::vector<uint32_t>{0x0A});
    ASSERT_EQ(server.writes.size(), 1u);
    EXPECT_EQ(server.writes[0].first, 1000u);
    EXPECT_TRUE(Remote("/up/f") == content);
    EXPECT_EQ(seen.progress, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 3000}, {3000, 3000}}));
    // Already complete: nothing is sent.
    seen = Recorder{};
    server.writes.clear();
    ASSERT_EQ(Start("in.bin", "/up/f"), 0);
    Serve();
    EXPECT_TRUE(server.writes.empty());
    EXPECT_EQ(seen.progress, (std::vector<std::pair<uint64_t, uint64_t>>{{3000, 3000}}));
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpUpload, UploadAtWritesFromTheOffsetWithoutTruncating) {
    WriteLocal(Local("in.bin"), "0123456789");
    server.AddFile("/up/f", "abcdefghijklmnop");
    ASSERT_EQ(t->UploadAt(host, Path(Local("in.bin")), Path("/up/f"), 4, 0), 0);
    Serve();
    EXPECT_EQ(server.openFlags, std::vector<uint32_t>{0x0A});
    EXPECT_EQ(Remote("/up/f"), "abcd456789klmnop");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpUpload, OffsetsBeyond4GiBStayExact) {
    const uint64_t start = 4ull << 30;
    std::filesystem::path local = Local("big.bin");
    WriteLocal(local, "");
    std::filesystem::resize_file(local, start);
    {
        std::ofstream f(local, std::ios::binary | std::ios::app);
        f << "tail-bytes";
    }
    server.AddFile("/up/big", "");
    ASSERT_EQ(t->UploadAt(host, Path(local), Path("/up/big"), uint32_t(start), uint32_t(start >> 32)), 0);
    Serve(2);  // STAT and OPEN: the first WRITE goes out
    ASSERT_EQ(sink.sent.back().type, 6);
    auto in = sink.sent.back().Reader();
    (void)in.Text();
    EXPECT_EQ(in.Uint64(), start);
    EXPECT_EQ(std::string(in.Text()), "tail-bytes");
    EXPECT_EQ(seen.progress, (std::vector<std::pair<uint64_t, uint64_t>>{{0, start + 10}}));
    Feed(FakeServer::Status(sink.sent.back().id, 0));
    Feed(FakeServer::Status(sink.sent.back().id, 0));
    EXPECT_EQ(seen.progress.back(), std::make_pair(start + 10, start + 10));
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpUpload, AppendFileSendsOnlyTheBytesBeyondTheRemoteSize) {
    WriteLocal(Local("in.bin"), "hello world");
    server.AddFile("/up/f", "hello");
    ASSERT_EQ(t->AppendFile(host, Path(Local("in.bin")), Path("/up/f")), 0);
    Serve();
    EXPECT_EQ(server.writes, (std::vector<std::pair<uint64_t, std::string>>{{5, " world"}}));
    EXPECT_EQ(Remote("/up/f"), "hello world");
    EXPECT_EQ(seen.results, Ok());
    // Nothing beyond the remote size: the first read finds nothing.
    seen = Recorder{};
    WriteLocal(Local("short.bin"), "hel");
    ASSERT_EQ(t->AppendFile(host, Path(Local("short.bin")), Path("/up/f")), 0);
    Serve();
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{
                                {30023, "Error occured trying to read local file"}}));
    EXPECT_EQ(c->transfer.localFile, velunor::platform::kInvalidFile);
    c->Resume = true;
    EXPECT_EQ(t->AppendFile(host, Path(Local("in.bin")), Path("/up/f")), 30043);
}

TEST_F(SftpUpload, TextModeDropsCrBeforeLfAcrossBlocks) {
    c->TransferMode = 1;
    struct Case {
        std::string local;
        int32_t buffer;
        std::string remote;
    } cases[] = {
        {"a\r\nb", 0, "a\nb"},
        {"abc\r\ndef\r", 4, "abc\ndef\r"},  // a CR ends the first block; a lone CR ends the file
        {"a\rb\r\r\n", 2, "a\rb\r\n"},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.local);
        seen = Recorder{};
        ASSERT_EQ(t->put_BufferSize(host, k.buffer), 0);
        WriteLocal(Local("t.txt"), k.local);
        ASSERT_EQ(t->UploadFresh(host, Path(Local("t.txt")), Path("/up/t.txt")), 0);
        Serve();
        EXPECT_EQ(Remote("/up/t.txt"), k.remote);
        EXPECT_EQ(seen.results, Ok());
    }
}

TEST_F(SftpUpload, WriteErrorClosesTheLocalFile) {
    WriteLocal(Local("in.bin"), Pattern(70000));
    ASSERT_EQ(Start("in.bin", "/up/f"), 0);
    Serve(3);  // STAT, parent STAT, OPEN: the first WRITE goes out
    answered = sink.sent.size();
    Feed(FakeServer::Status(sink.sent.back().id, 3));
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30018, "Server error: Permission denied"}}));
    EXPECT_EQ(c->transfer.localFile, velunor::platform::kInvalidFile);
}

TEST_F(SftpUpload, AbortEndsWhenTheCloseIsAnswered) {
    WriteLocal(Local("in.bin"), Pattern(70000));
    ASSERT_EQ(Start("in.bin", "/up/f"), 0);
    Serve(3);
    t->Abort(host);
    Serve(1);  // the first WRITE is answered: CLOSE goes out instead of the next block
    EXPECT_EQ(sink.sent.back().type, 4);
    EXPECT_TRUE(seen.results.empty());
    EXPECT_EQ(c->state, velunor::StateSending);
    Serve();
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30037, "Current method was aborted"}}));
    EXPECT_TRUE(Remote("/up/f") == Pattern(32768));
}
