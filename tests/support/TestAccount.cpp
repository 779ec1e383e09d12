#include "support/TestAccount.h"

#include "support/ProcessRunner.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace velunor::test {

namespace {

bool Lookup(uid_t& uid, gid_t& gid) {
    passwd entry{};
    passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(TestAccount::kUser, &entry, buf, sizeof buf, &found) != 0 || found == nullptr) return false;
    uid = entry.pw_uid;
    gid = entry.pw_gid;
    return true;
}

// useradd and chpasswd lock the account files; another test process doing the same at that
// moment makes them fail, so each is tried a few times.
CommandResult Retry(const ProcessSpec& command, const std::function<bool()>& done) {
    CommandResult r;
    for (int attempt = 0; attempt < 5; ++attempt) {
        r = RunCommand(command, std::chrono::seconds(30));
        if (r.Ok() || done()) return r;
        std::this_thread::sleep_for(std::chrono::milliseconds(200 * (attempt + 1)));
    }
    return r;
}

::testing::AssertionResult EnsureOnce() {
    if (geteuid() != 0)
        return ::testing::AssertionFailure()
               << "the test account '" << TestAccount::kUser
               << "' can only be created as root (sshd logs in real accounts through PAM); run the tests as root";
    uid_t uid;
    gid_t gid;
    if (!Lookup(uid, gid)) {
        ProcessSpec add;
        add.program = "/usr/sbin/useradd";
        add.args = {"--create-home", "--home-dir", TestAccount::kHome, "--shell", TestAccount::kShell,
                    "--user-group", TestAccount::kUser};
        // A concurrent process may have created it between the lookup and useradd.
        CommandResult r = Retry(add, [&] { return Lookup(uid, gid); });
        if (!Lookup(uid, gid))
            return ::testing::AssertionFailure() << "cannot create the test account: " << r.description;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(TestAccount::kHome, ec)) {
        std::filesystem::create_directories(TestAccount::kHome, ec);
        if (chown(TestAccount::kHome, uid, gid) != 0)
            return ::testing::AssertionFailure() << "cannot make the home directory " << TestAccount::kHome;
    }
    ProcessSpec pw;
    pw.program = "/usr/sbin/chpasswd";
    pw.stdinText = std::string(TestAccount::kUser) + ":" + TestAccount::kPassword + "\n";
    CommandResult r = Retry(pw, [] { return false; });
    if (!r.Ok()) return ::testing::AssertionFailure() << "cannot set the test account's password: " << r.description;
    return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult TestAccount::Ensure() {
    static std::once_flag once;
    static ::testing::AssertionResult result = ::testing::AssertionSuccess();
    std::call_once(once, [] { result = EnsureOnce(); });
    return result;
}

uid_t TestAccount::Uid() {
    uid_t uid = uid_t(-1);
    gid_t gid;
    Lookup(uid, gid);
    return uid;
}

gid_t TestAccount::Gid() {
    uid_t uid;
    gid_t gid = gid_t(-1);
    Lookup(uid, gid);
    return gid;
}

::testing::AssertionResult TestAccount::GiveTo(const std::string& path) {
    uid_t uid;
    gid_t gid;
    if (!Lookup(uid, gid)) return ::testing::AssertionFailure() << "no account " << kUser << "; call Ensure() first";
    std::error_code ec;
    auto give = [&](const std::filesystem::path& p) { return lchown(p.c_str(), uid, gid) == 0; };
    if (!give(path)) return ::testing::AssertionFailure() << "cannot chown " << path;
    if (std::filesystem::is_directory(path, ec)) {
        for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!give(it->path())) return ::testing::AssertionFailure() << "cannot chown " << it->path();
        }
    }
    if (ec) return ::testing::AssertionFailure() << "cannot walk " << path << ": " << ec.message();
    return ::testing::AssertionSuccess();
}

}  // namespace velunor::test
