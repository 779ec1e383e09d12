// Transfers from and to memory, and the variants that preset the transfer.
#include "unit/sftp/SftpFixture.h"

using namespace sftptest;

namespace {

class SftpMemory : public SftpTest {
protected:
    void SetUp() override {
        SftpTest::SetUp();
        server.AddDirectory("/m");
    }
    std::string Remote(const std::string& path) { return server.entries[path].data; }
};

}  // namespace

TEST_F(SftpMemory, UploadDataSendsTheBytesAndRemovesItsTemporaryFile) {
    for (size_t n : {0u, 40000u}) {
        seen = Recorder{};
        std::string data = Pattern(n);
        ASSERT_EQ(t->UploadData(host, reinterpret_cast<const uint8_t*>(data.data()), int32_t(n), Path("/m/d")), 0);
        EXPECT_EQ(TempFiles(), 1u);
        Serve();
        EXPECT_TRUE(Remote("/m/d") == data);
        EXPECT_EQ(seen.results, Ok());
        EXPECT_EQ(TempFiles(), 0u);
        EXPECT_TRUE(c->tempFilePath.empty());
    }
    EXPECT_EQ(t->UploadData(host, nullptr, 5, Path("/m/d")), E_POINTER);
}

TEST_F(SftpMemory, UploadTextSendsUtf8) {
    ASSERT_EQ(t->UploadText(host, Text("h\xC3\xA9llo"), Path("/m/t")), 0);
    Serve();
    EXPECT_EQ(Remote("/m/t"), "h\xC3\xA9llo");
    ASSERT_EQ(t->UploadTextAt(host, Text("XY"), Path("/m/t"), 1, 0), 0);
    Serve();
    // Bytes from the offset of the text go to the same offset of the file.
    EXPECT_EQ(Remote("/m/t"), "hY\xA9llo");
    ASSERT_EQ(t->UploadTextAt(host, Text("0123456789"), Path("/m/t"), 4, 0), 0);
    Serve();
    EXPECT_EQ(Remote("/m/t"), "hY\xA9l456789");
}

TEST_F(SftpMemory, AppendTextContinuesTheRemoteFile) {
    server.AddFile("/m/a", "abc");
    ASSERT_EQ(t->AppendText(host, Text("abcdef"), Path("/m/a")), 0);
    Serve();
    EXPECT_EQ(Remote("/m/a"), "abcdef");
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpMemory, DownloadDataConvertsTheWholeFileAtOnce) {
    // A two-byte character straddles the 16384-byte boundary of the old piecewise conversion.
    std::string content = std::string(16383, 'a') + "\xC3\xA9" + "z";
    server.AddFile("/m/x", content);
    ASSERT_EQ(t->DownloadData(host, Path("/m/x")), 0);
    Serve();
    EXPECT_EQ(seen.results, Ok());
    EXPECT_TRUE(ResultText() == content);
    EXPECT_EQ(c->ResultText.Length(), 16385u);
    EXPECT_EQ(TempFiles(), 0u);
}

TEST_F(SftpMemory, DownloadDataRangeHoldsOnlyTheRange) {
    server.AddFile("/m/x", "0123456789");
    EXPECT_EQ(t->DownloadDataRange(host, Path("/m/x"), 0, 0, 0), 30044);
    ASSERT_EQ(t->DownloadDataRange(host, Path("/m/x"), 2, 0, 6), 0);
    Serve();
    EXPECT_EQ(ResultText(), "2345");
    EXPECT_TRUE(c->Resume);
    EXPECT_EQ(t->DownloadDataRange(host, Path("/m/x"), 2, 0, 6), 30043);
    EXPECT_EQ(ErrorText(), "Cannot use append method when Resume property is set to true");
    c->Resume = false;
    ASSERT_EQ(t->DownloadDataRangeFresh(host, Path("/m/x"), 0, 0, 3), 0);
    Serve();
    EXPECT_EQ(ResultText(), "012");
    EXPECT_EQ(TempFiles(), 0u);
}

TEST_F(SftpMemory, DownloadDataOfAnEmptyFileIsEmpty) {
    server.AddFile("/m/e", "");
    ASSERT_EQ(t->DownloadDataFresh(host, Path("/m/e")), 0);
    Serve();
    EXPECT_EQ(ResultText(), "");
    EXPECT_EQ(seen.progress, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}}));
    EXPECT_EQ(seen.results, Ok());
}

TEST_F(SftpMemory, VariantsLeaveARunningTransferAlone) {
    c->state = velunor::StateReceiving;
    c->transfer.startOffset = 77;
    c->transfer.localFile = 12345;  // stands for the running transfer's file
    EXPECT_EQ(t->UploadAt(host, Path(Local("x")), Path("/m/x"), 1, 0), 30007);
    EXPECT_EQ(t->UploadText(host, Text("x"), Path("/m/x")), 30007);
    EXPECT_EQ(t->DownloadFresh(host, Path(Local("x")), Path("/m/x")), 30007);
    EXPECT_EQ(t->DownloadRange(host, Path(Local("x")), Path("/m/x"), 1, 0, 5), 30007);
    EXPECT_EQ(t->UploadDataAt(host, nullptr, 0, Path("/m/x"), 1, 0), 30007);
    EXPECT_EQ(c->transfer.startOffset, 77u);
    EXPECT_EQ(c->transfer.localFile, 12345);
    c->transfer.localFile = velunor::platform::kInvalidFile;
}

TEST_F(SftpMemory, TemporaryFileFailsWithoutATemporaryDirectory) {
    setenv("TMPDIR", (dir + "/none").c_str(), 1);
    EXPECT_EQ(t->DownloadData(host, Path("/m/x")), 30032);
    EXPECT_EQ(ErrorText(), "Failed to create temporary file");
    EXPECT_TRUE(sink.sent.empty());
}
