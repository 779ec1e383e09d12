#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

namespace velunor::test {

// The local account the end-to-end tests log in as. sshd authenticates password and
// keyboard-interactive logins through PAM against the system's user database, and runs the
// session (sftp included) as that user, so it needs a real account with a known password, a
// home directory and a shell. A dedicated account keeps the tests off root and off anyone's
// real login. Creating it needs root; CI runs as root, so elsewhere the tests that need it fail
// with a message saying so rather than skip.
class TestAccount {
public:
    static constexpr const char* kUser = "velunortest";
    static constexpr const char* kPassword = "Velunor-test-pw-7";
    static constexpr const char* kHome = "/home/velunortest";
    static constexpr const char* kShell = "/bin/sh";

    // Creates the account if missing and (re)sets its password, every time the same; safe to
    // call again and from several test processes at once. Done once per process.
    static ::testing::AssertionResult Ensure();

    static uid_t Uid();
    static gid_t Gid();

    // Hands a file or directory tree to the account, so a session running as it can write there.
    static ::testing::AssertionResult GiveTo(const std::string& path);
};

}  // namespace velunor::test
