// One-request file management against real servers: success checked on disk, refusals with the
// server's status, path resolution, attributes through links, and calls refused by state.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "SftpHost.h"
#include "support/HostClient.h"

using namespace velunor::test;
using namespace velunor::test::sftpio;

namespace {


struct stat StatOf(const std::string& path, bool follow = true) {
    struct stat st {};
    EXPECT_EQ(follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st), 0) << path;
    return st;
}

class SftpCommands : public SftpServerTest {
protected:
    int32_t SetAttributes(const std::string& remote, VARIANT sizeLow, VARIANT permissions, VARIANT access,
                          VARIANT modify) {
        SftpHost::Arg r(remote);
        return host.T().SetAttributes(host.C(), r.v, sizeLow, MissingArg(), MissingArg(), MissingArg(), permissions, access,
                                      modify);
    }
    int32_t GetAttributes(const std::string& remote, bool follow) {
        SftpHost::Arg r(remote);
        return host.T().GetAttributes(host.C(), r.v, follow ? VARIANT_TRUE : VARIANT_FALSE);
    }
};

TEST_P(SftpCommands, EachCommandChangesTheDisk) {
    ASSERT_EQ(host.Path(host.T().MakeDirectory, Remote("made")), 0) << host.LastResult();
    EXPECT_TRUE(std::filesystem::is_directory(Local("made")));
    EXPECT_EQ(host.LastResult(), "0 ");

    ASSERT_EQ(host.Path(host.T().RemoveDirectory, Remote("made")), 0) << host.LastResult();
    EXPECT_FALSE(std::filesystem::exists(Local("made")));

    PutFile("old.txt", "content");
    ASSERT_EQ(host.Text(host.T().Rename, Remote("new.txt"), Remote("old.txt")), 0) << host.LastResult();
    EXPECT_FALSE(std::filesystem::exists(Local("old.txt")));
    EXPECT_EQ(Read(Local("new.txt")), "content");

    ASSERT_EQ(host.Path(host.T().DeleteFile, Remote("new.txt")), 0) << host.LastResult();
    EXPECT_FALSE(std::filesystem::exists(Local("new.txt")));
    EXPECT_EQ(host.Of("OnResult").size(), 4u);
    EXPECT_EQ(host.State(), 3);
}

TEST_P(SftpCommands, RefusalsCarryTheServerStatus) {
    MakeDir("dir");
    std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
        {"MakeDirectory existing", [&] { return host.Path(host.T().MakeDirectory, Remote("dir")); }},
        {"RemoveDirectory missing", [&] { return host.Path(host.T().RemoveDirectory, Remote("gone")); }},
        {"DeleteFile missing", [&] { return host.Path(host.T().DeleteFile, Remote("gone")); }},
        {"Rename missing", [&] { return host.Text(host.T().Rename, Remote("b"), Remote("gone")); }},
        {"GetAttributes missing", [&] { return GetAttributes(Remote("gone"), true); }},
        {"GetAttributes no follow missing", [&] { return GetAttributes(Remote("gone"), false); }},
        {"SetAttributes missing", [&] { return SetAttributes(Remote("gone"), MissingArg(), IntArg(0600), MissingArg(), MissingArg()); }},
    };
    // AsyncSSH resolves a path without looking at the disk.
    if (GetParam() == Server::Sshd)
        calls.push_back({"ResolvePath missing", [&] { return host.Path(host.T().ResolvePath, "/no/such/place"); }});
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        host.Clear();
        EXPECT_EQ(call(), 30018);
        std::string status = host.ServerStatusText();
        EXPECT_NE(status, "OK");
        EXPECT_EQ(host.LastResult(), "30018 Server error: " + status);
        if (std::string(name).find("missing") != std::string::npos) {
            EXPECT_EQ(status, "No such file or folder");
            EXPECT_EQ(host.ServerStatusCode(), 2);
        }
        EXPECT_EQ(host.State(), 3);
    }
    EXPECT_TRUE(std::filesystem::is_directory(Local("dir")));
}

TEST_P(SftpCommands, ResolvePathGivesTheServersAbsolutePath) {
    ASSERT_EQ(host.Path(host.T().ResolvePath, "."), 0) << host.LastResult();
    std::string home = GetParam() == Server::Sshd ? TestAccount::kHome : "/";
    EXPECT_EQ(host.ResultText(), home);
    auto texts = host.Of("OnText");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, home);

    MakeDir("sub");
    host.Clear();
    ASSERT_EQ(host.Path(host.T().ResolvePath, Remote("sub/..")), 0) << host.LastResult();
    EXPECT_EQ(host.ResultText(), std::filesystem::path(RemoteDir()).lexically_normal().string());
}

TEST_P(SftpCommands, AttributesWithAndWithoutFollowingLinks) {
    PutFile("f.bin", std::string(70000, 'f'));
    ASSERT_EQ(chmod(Local("f.bin").c_str(), 0640), 0);
    std::filesystem::create_symlink("f.bin", Local("link"));
    Own(Local("link"));
    struct stat st = StatOf(Local("f.bin"));

    ASSERT_EQ(GetAttributes(Remote("link"), true), 0) << host.LastResult();
    auto info = host.Of("OnFileInfo");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].a, 70000);
    EXPECT_EQ(info[0].b, 0100640);
    EXPECT_EQ(info[0].text, std::to_string(st.st_uid) + "|" + std::to_string(st.st_gid));
    std::string prefix = "Size 70000\r\nUid " + std::to_string(st.st_uid) + "\r\nGid " + std::to_string(st.st_gid) +
                         "\r\nPermissions 81A0\r\nCreationDate ";
    EXPECT_EQ(host.ResultText().substr(0, prefix.size()), prefix);
    EXPECT_EQ(host.LastResult(), "0 ");

    host.Clear();
    ASSERT_EQ(GetAttributes(Remote("link"), false), 0) << host.LastResult();
    info = host.Of("OnFileInfo");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].b & 0170000, 0120000) << std::oct << info[0].b;
    EXPECT_EQ(info[0].a, int64_t(strlen("f.bin")));
}

TEST_P(SftpCommands, SetAttributesReachTheDisk) {
    PutFile("f.bin", std::string(70000, 'f'));
    ASSERT_EQ(SetAttributes(Remote("f.bin"), MissingArg(), IntArg(0600), MissingArg(), MissingArg()), 0) << host.LastResult();
    EXPECT_EQ(StatOf(Local("f.bin")).st_mode & 07777, 0600u);

    ASSERT_EQ(SetAttributes(Remote("f.bin"), IntArg(1000), MissingArg(), MissingArg(), MissingArg()), 0) << host.LastResult();
    EXPECT_EQ(std::filesystem::file_size(Local("f.bin")), 1000u);

    // 45000.25 and 45000.5 are 2023-03-15 06:00 and 12:00, taken as local standard time.
    ASSERT_EQ(SetAttributes(Remote("f.bin"), MissingArg(), MissingArg(), DateArg(45000.25), DateArg(45000.5)), 0)
        << host.LastResult();
    auto localStandard = [](int hour) {
        std::tm t{};
        t.tm_year = 123;
        t.tm_mon = 2;
        t.tm_mday = 15;
        t.tm_hour = hour;
        t.tm_isdst = 0;
        return mktime(&t);
    };
    struct stat st = StatOf(Local("f.bin"));
    EXPECT_EQ(st.st_atime, localStandard(6));
    EXPECT_EQ(st.st_mtime, localStandard(12));
    EXPECT_EQ(host.LastResult(), "0 ");

    // Nothing to set: done at once, nothing sent.
    host.Clear();
    EXPECT_EQ(SetAttributes(Remote("f.bin"), MissingArg(), MissingArg(), MissingArg(), MissingArg()), 0);
    EXPECT_EQ(host.LastResult(), "0 ");
    EXPECT_EQ(host.State(), 3);
}

TEST_P(SftpCommands, OperationsRefusedWhenDisconnected) {
    ASSERT_EQ(host.T().Disconnect(host.C()), 0);
    EXPECT_EQ(host.State(), 0);
    const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
        {"ListNames", [&] { return host.Path(host.T().ListNames, RemoteDir()); }},
        {"MakeDirectory", [&] { return host.Path(host.T().MakeDirectory, Remote("d")); }},
        {"ResolvePath", [&] { return host.Path(host.T().ResolvePath, "."); }},
        {"Download", [&] { return host.Paths(host.T().Download, local.Join("x"), Remote("x")); }},
        {"Upload", [&] { return host.Paths(host.T().Upload, local.Join("x"), Remote("x")); }},
        {"DownloadData", [&] { return host.Path(host.T().DownloadData, Remote("x")); }},
        {"UploadData", [&] { return host.UploadData("abc", Remote("x")); }},
        {"Rename", [&] { return host.Text(host.T().Rename, Remote("y"), Remote("x")); }},
        {"GetAttributes", [&] { return GetAttributes(Remote("x"), true); }},
        {"SetAttributes", [&] { return SetAttributes(Remote("x"), MissingArg(), IntArg(0600), MissingArg(), MissingArg()); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(), 30006);
    }
    EXPECT_TRUE(host.Of("OnResult").empty());
    EXPECT_FALSE(std::filesystem::exists(Local("d")));
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpCommands, ::testing::Values(Server::Sshd, Server::AsyncSsh), ServerName);

}  // namespace
