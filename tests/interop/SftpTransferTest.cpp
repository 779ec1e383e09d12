// Downloads and uploads against real servers: progress, block sizes, directories, resume,
// ranges, offsets, appends, text mode, memory transfers, abort and refusals.
#include <filesystem>

#include "SftpHost.h"

using namespace velunor::test;
using namespace velunor::test::sftpio;

namespace {

// OnProgress of a download: after every block that leaves bytes to read, then once at the end.
std::vector<std::string> DownloadSteps(int64_t size, int64_t block) {
    std::vector<std::string> out;
    for (int64_t at = block; at < size; at += block) out.push_back(std::to_string(at) + "/" + std::to_string(size));
    out.push_back(std::to_string(size) + "/" + std::to_string(size));
    return out;
}
// OnProgress of an upload: before every block, then once at the end.
std::vector<std::string> UploadSteps(int64_t size, int64_t block) {
    std::vector<std::string> out;
    for (int64_t at = 0; at < size; at += block) out.push_back(std::to_string(at) + "/" + std::to_string(size));
    out.push_back(std::to_string(size) + "/" + std::to_string(size));
    return out;
}

class SftpTransfer : public SftpServerTest {
protected:
    std::string LocalPath(const std::string& name) const { return local.Join(name); }
    int32_t Download(const std::string& localPath, const std::string& remote) {
        return host.Paths(host.T().Download, localPath, remote);
    }
    int32_t Upload(const std::string& localPath, const std::string& remote) {
        return host.Paths(host.T().Upload, localPath, remote);
    }
};

struct SizeCase {
    size_t size;
    int32_t bufferSize;
    std::vector<std::string> download;  // empty: computed from the block size
    std::vector<std::string> upload;
};

TEST_P(SftpTransfer, BothWaysWithExactProgress) {
    const SizeCase cases[] = {
        {0, 0, {"0/0"}, {"0/0"}},
        {70000, 0, {"32768/70000", "65536/70000", "70000/70000"},
         {"0/70000", "32768/70000", "65536/70000", "70000/70000"}},
        {70000, 8192, DownloadSteps(70000, 8192), UploadSteps(70000, 8192)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " BufferSize " + std::to_string(c.bufferSize));
        ASSERT_EQ(host.T().put_BufferSize(host.C(), c.bufferSize), 0);
        std::string bytes = RandomBytes(c.size, uint32_t(c.size + c.bufferSize));
        std::string tag = std::to_string(c.size) + "-" + std::to_string(c.bufferSize);
        PutFile("src" + tag, bytes);

        host.Clear();
        ASSERT_EQ(Download(LocalPath("got" + tag), Remote("src" + tag)), 0) << host.LastResult() << Describe();
        EXPECT_TRUE(std::filesystem::exists(LocalPath("got" + tag)));
        EXPECT_EQ(Read(LocalPath("got" + tag)), bytes);
        EXPECT_EQ(host.Progress(), c.download);
        EXPECT_EQ(host.LastResult(), "0 ");

        host.Clear();
        ASSERT_EQ(Upload(LocalPath("got" + tag), Remote("up" + tag)), 0) << host.LastResult();
        EXPECT_TRUE(std::filesystem::exists(Local("up" + tag)));
        EXPECT_EQ(Read(Local("up" + tag)), bytes);
        EXPECT_EQ(host.Progress(), c.upload);
        EXPECT_EQ(host.LastResult(), "0 ");
        EXPECT_EQ(host.State(), 3);
    }
}

TEST_P(SftpTransfer, IntoAndOntoExistingDirectories) {
    std::string bytes = RandomBytes(5000);
    PutFile("src.bin", bytes);
    std::filesystem::create_directory(LocalPath("into"));
    ASSERT_EQ(Download(LocalPath("into"), Remote("src.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(LocalPath("into/src.bin")), bytes);

    MakeDir("onto");
    ASSERT_EQ(Upload(LocalPath("into/src.bin"), Remote("onto")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("onto/src.bin")), bytes);

    // A target whose directory is missing is the server's refusal.
    EXPECT_EQ(Upload(LocalPath("into/src.bin"), Remote("nodir/x.bin")), 30018);
    EXPECT_EQ(host.LastResult(), "30018 Server error: No such file or folder");
    // A remote directory is not downloaded.
    EXPECT_EQ(Download(LocalPath("dir.bin"), Remote("onto")), 30019);
    EXPECT_EQ(host.LastResult(), "30019 Given path on the server is a directory");
    EXPECT_EQ(Download(LocalPath("x.bin"), Remote("missing.bin")), 30018);
    EXPECT_EQ(host.LastResult(), "30018 Server error: No such file or folder");
    EXPECT_EQ(host.State(), 3);
}

TEST_P(SftpTransfer, ResumeAndRangeDownloads) {
    std::string bytes = RandomBytes(70000, 3);
    PutFile("src.bin", bytes);

    // Continuing a partial local copy: the range from its end up to the file's end.
    ASSERT_TRUE(WriteTextFile(LocalPath("part.bin"), bytes.substr(0, 30000)));
    {
        SftpHost::Arg l(LocalPath("part.bin")), r(Remote("src.bin"));
        ASSERT_EQ(host.T().DownloadRange(host.C(), l.v, r.v, 30000, 0, 70000), 0) << host.LastResult();
    }
    EXPECT_EQ(Read(LocalPath("part.bin")), bytes);
    EXPECT_EQ(host.Progress().back(), "70000/70000");
    VARIANT_BOOL resume = 0;
    host.T().get_Resume(host.C(), &resume);
    EXPECT_EQ(resume, VARIANT_TRUE);  // a start offset leaves Resume set

    // A middle range lands at its own offsets of the local file.
    host.T().put_Resume(host.C(), VARIANT_FALSE);
    {
        SftpHost::Arg l(LocalPath("range.bin")), r(Remote("src.bin"));
        ASSERT_EQ(host.T().DownloadRange(host.C(), l.v, r.v, 1000, 0, 5000), 0) << host.LastResult();
    }
    std::string got = Read(LocalPath("range.bin"));
    ASSERT_EQ(got.size(), 5000u);
    EXPECT_EQ(got.substr(1000), bytes.substr(1000, 4000));

    // Resume without an offset rewrites from the start and keeps a longer local tail.
    host.T().put_Resume(host.C(), VARIANT_TRUE);
    std::string longer(80000, 'z');
    ASSERT_TRUE(WriteTextFile(LocalPath("long.bin"), longer));
    ASSERT_EQ(host.Paths(host.T().DownloadFresh, LocalPath("long.bin"), Remote("src.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(LocalPath("long.bin")), bytes + std::string(10000, 'z'));
}

TEST_P(SftpTransfer, ResumeUploadSendsOnlyTheMissingPart) {
    std::string bytes = RandomBytes(70000, 4);
    ASSERT_TRUE(WriteTextFile(LocalPath("src.bin"), bytes));
    PutFile("part.bin", bytes.substr(0, 30000));
    host.T().put_Resume(host.C(), VARIANT_TRUE);
    ASSERT_EQ(Upload(LocalPath("src.bin"), Remote("part.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("part.bin")), bytes);
    EXPECT_EQ(host.Progress().front(), "0/70000");
    EXPECT_EQ(host.Progress().back(), "70000/70000");

    // Already complete: nothing is sent, one final progress.
    host.Clear();
    ASSERT_EQ(Upload(LocalPath("src.bin"), Remote("part.bin")), 0) << host.LastResult();
    EXPECT_EQ(host.Progress(), (std::vector<std::string>{"70000/70000"}));
    EXPECT_EQ(Read(Local("part.bin")), bytes);
}

TEST_P(SftpTransfer, UploadAtWritesInPlace) {
    PutFile("target.bin", std::string(12000, 'x'));
    ASSERT_TRUE(WriteTextFile(LocalPath("y.bin"), std::string(10000, 'y')));
    {
        SftpHost::Arg l(LocalPath("y.bin")), r(Remote("target.bin"));
        ASSERT_EQ(host.T().UploadAt(host.C(), l.v, r.v, 4000, 0), 0) << host.LastResult();
    }
    EXPECT_EQ(Read(Local("target.bin")), std::string(4000, 'x') + std::string(6000, 'y') + std::string(2000, 'x'));
}

TEST_P(SftpTransfer, AppendTextAndFileContinueFromTheRemoteSize) {
    PutFile("log.txt", "hello");
    ASSERT_EQ(host.Text(host.T().AppendText, "hello world", Remote("log.txt")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("log.txt")), "hello world");

    std::string bytes = RandomBytes(70000, 5);
    PutFile("part.bin", bytes.substr(0, 30000));
    ASSERT_TRUE(WriteTextFile(LocalPath("all.bin"), bytes));
    ASSERT_EQ(host.Paths(host.T().AppendFile, LocalPath("all.bin"), Remote("part.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("part.bin")), bytes);

    // Nothing beyond the remote size is refused as a read of nothing.
    EXPECT_EQ(host.Text(host.T().AppendText, "hel", Remote("log.txt")), 30023);
    EXPECT_EQ(Read(Local("log.txt")), "hello world");
}

TEST_P(SftpTransfer, TextModeConvertsLineEndsAcrossBlocks) {
    host.T().put_TransferMode(host.C(), 1);
    host.T().put_BufferSize(host.C(), 8192);
    // Upload: the first block ends in the CR of a CR LF, the second in a CR before a plain
    // byte; the file ends in a lone CR, which is kept.
    std::string out = std::string(8191, 'a') + "\r\n" + std::string(8190, 'b') + "\rx line\r\nend\r";
    ASSERT_TRUE(WriteTextFile(LocalPath("out.txt"), out));
    ASSERT_EQ(Upload(LocalPath("out.txt"), Remote("out.txt")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("out.txt")), std::string(8191, 'a') + "\n" + std::string(8190, 'b') + "\rx line\nend\r");

    // Download: a CR LF split by the block edge stays one; a block opening with a bare LF gets a CR.
    // A CR LF already inside a block stays as it is.
    std::string in = std::string(8191, 'a') + "\r" + "\n" + std::string(8191, 'b') + "\nc\nd\r\ne";
    PutFile("in.txt", in);
    ASSERT_EQ(Download(LocalPath("in.txt"), Remote("in.txt")), 0) << host.LastResult();
    EXPECT_EQ(Read(LocalPath("in.txt")),
              std::string(8191, 'a') + "\r\n" + std::string(8191, 'b') + "\r\nc\r\nd\r\ne");
}

// Points the component's temporary files at a directory of the test's own.
class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const std::string& dir) {
        if (const char* old = getenv("TMPDIR")) saved = old, had = true;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    std::string saved;
    bool had = false;
};

TEST_P(SftpTransfer, MemoryTransfers) {
    TempDir temps;
    ScopedTmpDir useTemps(temps.Path());
    std::string bytes = RandomBytes(70000, 6);
    ASSERT_EQ(host.UploadData(bytes, Remote("data.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("data.bin")), bytes);
    ASSERT_EQ(host.UploadData("", Remote("empty.bin")), 0) << host.LastResult();
    EXPECT_TRUE(std::filesystem::exists(Local("empty.bin")));
    EXPECT_EQ(std::filesystem::file_size(Local("empty.bin")), 0u);

    ASSERT_EQ(host.Text(host.T().UploadText, "first line\nsecond line\n", Remote("text.txt")), 0) << host.LastResult();
    EXPECT_EQ(Read(Local("text.txt")), "first line\nsecond line\n");

    host.Clear();
    ASSERT_EQ(host.Path(host.T().DownloadData, Remote("text.txt")), 0) << host.LastResult();
    EXPECT_EQ(host.ResultText(), "first line\nsecond line\n");
    ASSERT_EQ(host.Path(host.T().DownloadDataFresh, Remote("empty.bin")), 0) << host.LastResult();
    EXPECT_EQ(host.ResultText(), "");
    // Ranges and offsets: the data's own offsets are the remote file's.
    PutFile("digits.txt", "0123456789");
    {
        SftpHost::Arg r(Remote("digits.txt"));
        ASSERT_EQ(host.T().DownloadDataRangeFresh(host.C(), r.v, 3, 0, 8), 0) << host.LastResult();
        EXPECT_EQ(host.ResultText(), "34567");
        host.T().put_Resume(host.C(), VARIANT_FALSE);  // the offset left Resume set
        BSTR text = velunor::platform::AllocBstrFromUtf8("abcdefgh");
        EXPECT_EQ(host.T().UploadTextAt(host.C(), text, r.v, 4, 0), 0) << host.LastResult();
        SysFreeString(text);
    }
    EXPECT_EQ(Read(Local("digits.txt")), "0123efgh89");
    // Every temporary file is gone once its transfer ended.
    EXPECT_TRUE(std::filesystem::is_empty(temps.Path()));
}

TEST_P(SftpTransfer, AbortFromOnProgressEndsTheTransfer) {
    std::string bytes = RandomBytes(1 << 20, 8);
    PutFile("big.bin", bytes);
    ASSERT_TRUE(WriteTextFile(LocalPath("big-up.bin"), bytes));
    host.T().put_BufferSize(host.C(), 8192);
    struct Case {
        const char* name;
        std::function<int32_t()> start;
        std::string partial;  // the file the aborted transfer was writing
    };
    const Case cases[] = {
        {"download", [&] { return Download(LocalPath("big.bin"), Remote("big.bin")); }, LocalPath("big.bin")},
        {"upload", [&] { return Upload(LocalPath("big-up.bin"), Remote("up.bin")); }, Local("up.bin")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.Clear();
        int calls = 0;
        host.onProgress = [&](SftpHost& h, int64_t, int64_t) {
            if (calls++ == 0) h.T().Abort(h.C());
        };
        // The call returns only once the operation has ended, with the abort as its result.
        EXPECT_EQ(c.start(), 30037);
        EXPECT_EQ(host.LastResult(), "30037 Current method was aborted");
        EXPECT_EQ(host.Of("OnResult").size(), 1u);
        EXPECT_EQ(host.Progress().size(), 1u);
        EXPECT_EQ(host.State(), 3);
        std::error_code ec;
        auto partial = std::filesystem::file_size(c.partial, ec);
        EXPECT_LT(partial, bytes.size());
        EXPECT_EQ(Read(c.partial), bytes.substr(0, partial));
    }

    // A fresh download afterwards starts from nothing.
    host.onProgress = nullptr;
    host.Clear();
    ASSERT_EQ(Download(LocalPath("again.bin"), Remote("big.bin")), 0) << host.LastResult();
    EXPECT_EQ(Read(LocalPath("again.bin")), bytes);
}

TEST_P(SftpTransfer, BusyWhileAnotherOperationRuns) {
    std::string bytes = RandomBytes(70000, 9);
    PutFile("src.bin", bytes);
    std::vector<int32_t> refused;
    host.onProgress = [&](SftpHost& h, int64_t, int64_t) {
        refused.push_back(h.Path(h.T().ListNames, RemoteDir()));
        refused.push_back(h.Paths(h.T().Download, LocalPath("other.bin"), Remote("src.bin")));
    };
    ASSERT_EQ(Download(LocalPath("got.bin"), Remote("src.bin")), 0) << host.LastResult();
    host.onProgress = nullptr;
    ASSERT_FALSE(refused.empty());
    for (int32_t rc : refused) EXPECT_EQ(rc, 30007);
    EXPECT_EQ(Read(LocalPath("got.bin")), bytes);
    EXPECT_FALSE(std::filesystem::exists(LocalPath("other.bin")));
    EXPECT_EQ(host.Of("OnResult").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpTransfer, ::testing::Values(Server::Sshd, Server::AsyncSsh), ServerName);

}  // namespace
