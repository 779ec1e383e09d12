// A large download through a server that re-keys several times while it runs.
#include <filesystem>

#include "SftpHost.h"

using namespace velunor::test;
using namespace velunor::test::sftpio;

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Downloads 1 MiB of incompressible bytes from remote (seen locally at localSource) and checks them.
void DownloadMiB(uint16_t port, const std::string& localSource, const std::string& remote, const std::string& describe) {
    std::string bytes = RandomBytes(1 << 20, 11);
    ASSERT_TRUE(WriteTextFile(localSource, bytes));
    ASSERT_TRUE(TestAccount::GiveTo(localSource));
    TempDir local;
    SftpHost host;
    ASSERT_EQ(host.Connect(port), 0) << describe;
    SftpHost::Arg l(local.Join("got.bin")), r(remote);
    ASSERT_EQ(host.T().Download(host.C(), l.v, r.v), 0) << host.LastResult() << "\n" << describe;
    EXPECT_EQ(ReadTextFile(local.Join("got.bin")), bytes);
    // The connection is still good after the last exchange.
    SftpHost::Arg dot(".");
    EXPECT_EQ(host.T().ResolvePath(host.C(), dot.v), 0) << host.LastResult();
}

TEST(SftpRekey, SshdDownloadSurvivesRepeatedKeyExchanges) {
    ASSERT_TRUE(TestAccount::Ensure());
    SshdOptions options;
    options.rekeyLimit = "64K";
    options.logLevel = "DEBUG1";
    SshdServer sshd;
    ASSERT_TRUE(sshd.Start(options));
    TempDir dir(0755);
    ASSERT_TRUE(TestAccount::GiveTo(dir.Path()));
    DownloadMiB(sshd.Port(), dir.Join("big.bin"), dir.Join("big.bin"), sshd.Describe());
    EXPECT_GT(Count(sshd.Log(), "SSH2_MSG_KEXINIT received"), 1u) << sshd.Describe();
}

TEST(SftpRekey, AsyncSshDownloadSurvivesRepeatedKeyExchanges) {
    ASSERT_TRUE(TestAccount::Ensure());
    AsyncSshOptions options;
    options.rekeyBytes = 65536;
    options.logLevel = "DEBUG";
    AsyncSshServer server;
    ASSERT_TRUE(server.Start(options));
    DownloadMiB(server.Port(), server.SftpRoot() + "/big.bin", "/big.bin", server.Describe());
    EXPECT_GT(Count(server.Log(), "Beginning key exchange"), 1u) << server.Describe();
}

}  // namespace
