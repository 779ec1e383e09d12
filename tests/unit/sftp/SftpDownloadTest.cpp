// Downloads into local files.
#include "unit/sftp/SftpFixture.h"

using namespace sftptest;

namespace {

class SftpDownload : public SftpTest {
protected:
    int32_t Start(const std::string& local = "out.bin", const std::string& remote = "/r/file.bin") {
        return t->Download(host, Path(Local(local)), Path(remote));
    }
};

struct BlockCase {
    size_t size;
    int32_t bufferSize;
};

class SftpDownloadBlocks : public SftpDownload, public testing::WithParamInterface<BlockCase> {};

}  // namespace

TEST_P(SftpDownloadBlocks, ReadsBlockByBlockWithProgress) {
    const auto [size, buffer] = GetParam();
    std::string content = Pattern(size);
    server.AddFile("/r/file.bin", content);
    if (buffer != 0) {
        ASSERT_EQ(t->put_BufferSize(host, buffer), 0);
    }
    uint32_t id = c->requestId;
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(sink.sent[0].type, 17);
    EXPECT_EQ(sink.sent[0].fields, Wire().S("/r/file.bin").b);
    Serve();
    EXPECT_EQ(sink.sent[1].type, 3);
    EXPECT_EQ(sink.sent[1].fields, Wire().S("/r/file.bin").U32(1).U32(0).b);

    size_t block = buffer != 0 ? size_t(buffer) : 32768;
    std::vector<uint32_t> lengths;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    for (size_t at = 0; at < size; at += block) {
        lengths.push_back(uint32_t(std::min(block, size - at)));
        if (at + block < size) progress.emplace_back(at + block, size);
    }
    progress.emplace_back(size, size);
    EXPECT_EQ(server.readLengths, lengths);
    EXPECT_EQ(seen.progress, progress);
    // Every READ carries one id: the one after OPEN's.
    for (auto& r : sink.sent)
        if (r.type == 5) {
            EXPECT_EQ(r.id, id + 2);
        }
    EXPECT_EQ(sink.sent.back().type, 4);
    EXPECT_TRUE(ReadLocal(Local("out.bin")) == content);
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(seen.states, (std::vector<int32_t>{4, 3}));
    EXPECT_EQ(c->transfer.localFile, velunor::platform::kInvalidFile);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SftpDownloadBlocks,
                         testing::Values(BlockCase{0, 0}, BlockCase{70000, 0}, BlockCase{70000, 8192},
                                         BlockCase{32768, 0}),
                         [](const testing::TestParamInfo<BlockCase>& i) {
                             return "Size" + std::to_string(i.param.size) + "Buffer" +
                                    std::to_string(i.param.bufferSize);
                         });

TEST_F(SftpDownload, ShortDataRepliesAreReadOn) {
    std::string content = Pattern(1000);
    server.AddFile("/r/file.bin", content);
    server.maxRead = 300;
    ASSERT_EQ(Start(), 0);
    Serve();
    EXPECT_EQ(server.readOffsets, (std::vector<uint64_t>{0, 300, 600, 900}));
    EXPECT_TRUE(ReadLocal(Local("out.bin")) == content);
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpDownload, TextModeTurnsLfIntoCrLfAcrossBlocks) {
    struct Case {
        std::string remote;
        uint32_t maxRead;
        std::string local;
    } cases[] = {
        {"a\nb\r\nc", 1000, "a\r\nb\r\nc"},
        {"ab\r\ncd\n", 3, "ab\r\ncd\r\n"},  // blocks "ab\r", "\ncd", "\n"
        {"\n\n", 1, "\r\n\r\n"},
    };
    c->TransferMode = 1;
    for (auto& k : cases) {
        seen = Recorder{};
        server.AddFile("/r/t.txt", k.remote);
        server.maxRead = k.maxRead;
        ASSERT_EQ(t->DownloadFresh(host, Path(Local("t.txt")), Path("/r/t.txt")), 0);
        Serve();
        EXPECT_EQ(ReadLocal(Local("t.txt")), k.local);
        EXPECT_EQ(seen.results, Ok());
    }
}

TEST_F(SftpDownload, LocalPathRules) {
    server.AddFile("/r/file.bin", "xyz");
    std::filesystem::create_directory(Local("into"));
    ASSERT_EQ(Start("into", "/r/file.bin"), 0);
    EXPECT_EQ(c->localPath.ToUtf8(), Local("into/file.bin"));
    Serve();
    EXPECT_EQ(ReadLocal(Local("into/file.bin")), "xyz");
    c->state = velunor::StateIdle;
    // The root is a directory like any other.
    ASSERT_EQ(t->Download(host, Path("/"), Path("/r/file.bin")), 0);
    EXPECT_EQ(c->localPath.ToUtf8(), "/file.bin");
    c->state = velunor::StateIdle;
    c->operationPending = false;
    answered = sink.sent.size();
    EXPECT_EQ(Start("nodir/out.bin"), 30009);
    EXPECT_EQ(t->Download(host, Path("bare-name"), Path("/r/file.bin")), 30009);
    EXPECT_EQ(ErrorText(), "Invalid local file name or path");
}

TEST_F(SftpDownload, TargetErrors) {
    server.AddDirectory("/r/dir");
    ASSERT_EQ(Start("out", "/r/dir"), 0);
    Serve();
    EXPECT_EQ(seen.results.back(), std::make_pair(30019, std::string("Given path on the server is a directory")));
    ASSERT_EQ(Start("out", "/r/none"), 0);
    Serve();
    EXPECT_EQ(seen.results.back(), std::make_pair(30018, std::string("Server error: No such file or folder")));
    ASSERT_EQ(Start("out", "/r/none"), 0);
    Feed(Wire().U8(102).U32(sink.sent.back().id).S("h"));
    EXPECT_EQ(seen.results.back(), std::make_pair(30017, std::string("Server returned invalid response to FXP_ATTRS")));
    EXPECT_EQ(c->state, velunor::StateIdle);
}

TEST_F(SftpDownload, BadReadRepliesAreRefused) {
    server.AddFile("/r/file.bin", Pattern(100));
    struct Case {
        const char* name;
        Wire reply;
    } cases[] = {
        {"status ok", FakeServer::Status(0, 0)},
        {"data longer than asked", Wire().U8(103).U32(0).S(Pattern(101))},
        {"declared length beyond packet", Wire().U8(103).U32(0).U32(50).U8('a')},
        {"no id", Wire().U8(103).U8(1)},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        seen = Recorder{};
        ASSERT_EQ(t->DownloadFresh(host, Path(Local("o")), Path("/r/file.bin")), 0);
        Serve(2);  // STAT, OPEN
        answered = sink.sent.size();
        ASSERT_EQ(sink.sent.back().type, 5);
        Wire reply = k.reply;
        if (reply.b[0] == 103 && reply.b.size() >= 5)
            for (int i = 0; i < 4; ++i) reply.b[1 + i] = uint8_t(c->requestId >> (24 - 8 * i));
        Feed(reply);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.results[0].first, 30017);
        EXPECT_FALSE(c->operationPending);
        EXPECT_EQ(c->transfer.localFile, velunor::platform::kInvalidFile);
    }
}

TEST_F(SftpDownload, EndOfFileWhileReadingIsAServerError) {
    server.AddFile("/r/file.bin", Pattern(100));
    ASSERT_EQ(Start(), 0);
    Serve(2);
    Feed(FakeServer::Status(sink.sent.back().id, 1));
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30018, "Server error: End of file"}}));
    EXPECT_EQ(c->transfer.localFile, velunor::platform::kInvalidFile);
}

TEST_F(SftpDownload, ResumeWithoutOffsetWritesFromTheStartWithoutTruncating) {
    server.AddFile("/r/file.bin", "abc");
    WriteLocal(Local("out.bin"), "XXXXXXXXXX");
    c->Resume = true;
    ASSERT_EQ(Start(), 0);
    Serve();
    EXPECT_EQ(ReadLocal(Local("out.bin")), "abcXXXXXXX");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpDownload, RangeReadsFromStartToEndOffset) {
    server.AddFile("/r/file.bin", "0123456789");
    ASSERT_EQ(t->DownloadRange(host, Path(Local("out.bin")), Path("/r/file.bin"), 2, 0, 5), 0);
    Serve();
    EXPECT_EQ(server.readOffsets, std::vector<uint64_t>{2});
    EXPECT_EQ(server.readLengths, std::vector<uint32_t>{3});
    EXPECT_EQ(ReadLocal(Local("out.bin")), std::string("\0\0" "234", 5));
    EXPECT_EQ(seen.progress, (std::vector<std::pair<uint64_t, uint64_t>>{{5, 5}}));
    EXPECT_TRUE(c->Resume);
    EXPECT_EQ(seen.results, Ok());
    // An end offset not beyond the start reads nothing.
    seen = Recorder{};
    server.readOffsets.clear();
    ASSERT_EQ(t->DownloadRange(host, Path(Local("out2.bin")), Path("/r/file.bin"), 6, 0, 4), 0);
    Serve();
    EXPECT_TRUE(server.readOffsets.empty());
    EXPECT_EQ(seen.results, Ok());
    EXPECT_EQ(t->DownloadRange(host, Path(Local("o")), Path("/r/file.bin"), 0, 0, 0), 30044);
}

TEST_F(SftpDownload, OffsetsBeyond4GiBStayExact) {
    const uint64_t start = (5ull << 30) + 3;
    c->transfer.startOffset = start;
    ASSERT_EQ(Start(), 0);
    Feed(Wire().U8(105).U32(sink.sent.back().id).U32(0x5).U64(start + 10).U32(0100644));
    Feed(Wire().U8(102).U32(sink.sent.back().id).S("h"));
    ASSERT_EQ(sink.sent.back().type, 5);
    auto in = sink.sent.back().Reader();
    EXPECT_EQ(std::string(in.Text()), "h");
    EXPECT_EQ(in.Uint64(), start);
    EXPECT_EQ(in.Uint32(), 10u);
    Feed(Wire().U8(103).U32(sink.sent.back().id).S("0123456789"));
    ASSERT_EQ(sink.sent.back().type, 4);
    EXPECT_EQ(std::filesystem::file_size(Local("out.bin")), start + 10);
    std::ifstream f(Local("out.bin"), std::ios::binary);
    f.seekg(std::streamoff(start));
    std::string tail(10, '\0');
    f.read(tail.data(), 10);
    EXPECT_EQ(tail, "0123456789");
}

TEST_F(SftpDownload, AbortEndsWhenTheCloseIsAnswered) {
    server.AddFile("/r/file.bin", Pattern(70000));
    ASSERT_EQ(Start(), 0);
    Serve(3);  // STAT, OPEN, first READ
    t->Abort(host);
    Serve(1);  // the second block arrives: the download closes instead
    EXPECT_EQ(sink.sent.back().type, 4);
    EXPECT_TRUE(seen.results.empty());
    EXPECT_TRUE(c->operationPending);
    EXPECT_EQ(c->state, velunor::StateReceiving);
    Serve();
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30037, "Current method was aborted"}}));
    EXPECT_EQ(c->state, velunor::StateIdle);
    EXPECT_TRUE(ReadLocal(Local("out.bin")) == Pattern(32768));
    // A later download is not cut short by the flag the abort left.
    seen = Recorder{};
    ASSERT_EQ(Start("again.bin"), 0);
    Serve();
    EXPECT_EQ(seen.results, Ok());
    EXPECT_TRUE(ReadLocal(Local("again.bin")) == Pattern(70000));
}

TEST_F(SftpDownload, AbortFromProgressCallback) {
    server.AddFile("/r/file.bin", Pattern(70000));
    seen.abortOnProgress = true;
    ASSERT_EQ(Start(), 0);
    Serve();
    EXPECT_EQ(seen.progress.size(), 1u);
    EXPECT_EQ(seen.results, (std::vector<std::pair<int32_t, std::string>>{{30037, "Current method was aborted"}}));
    EXPECT_TRUE(AllAnswered());
}
