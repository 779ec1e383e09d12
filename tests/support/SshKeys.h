#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velunor::test {

// How ssh-keygen writes a key. Host keys use the defaults; client-key tests pick a format.
struct KeyGenOptions {
    int bits = 0;               // 0: 2048 for rsa, ssh-keygen's own size otherwise (dsa is 1024 only)
    std::string passphrase;     // empty: unencrypted
    std::string format;         // ssh-keygen -m: "" (OpenSSH), "PEM", "PKCS8", "RFC4716"
    std::string comment = "velunor-test";
};

// A key pair made by ssh-keygen at test time.
struct SshKeyFiles {
    std::string keygenType;     // ssh-keygen -t: "rsa", "dsa", "ecdsa", "ed25519"
    std::string algorithm;      // first field of the public line: "ssh-rsa", "ssh-dss", ...
    std::string privatePath;
    std::string publicPath;
    std::string publicLine;     // "ssh-rsa AAAA... comment", no newline
    std::string md5;            // "aa:bb:..:ff" as `ssh-keygen -l -E md5` prints it, without "MD5:"
    std::string sha256;         // "SHA256:..." as `ssh-keygen -l` prints it
};

// Writes <dir>/<name> and <dir>/<name>.pub.
::testing::AssertionResult GenerateSshKey(const std::string& dir, const std::string& name,
                                          const std::string& keygenType, SshKeyFiles& out,
                                          const KeyGenOptions& options = {});

// A host key of this type made once per test process and shared by every server that does not
// ask for a fresh one: RSA key generation dominates server start-up on a busy machine.
::testing::AssertionResult SharedHostKey(const std::string& keygenType, SshKeyFiles& out);

struct KeyFingerprint {
    std::string md5;            // without "MD5:"
    std::string kind;           // ssh-keygen's tag: "RSA", "DSA", "ECDSA", "ED25519"
};

// Every key in a public key, authorized_keys or known_hosts file, through `ssh-keygen -l -E md5`.
::testing::AssertionResult Md5Fingerprints(const std::string& path, std::vector<KeyFingerprint>& out);

// The algorithm name sshd and asyncssh advertise for an ssh-keygen type ("rsa" -> "ssh-rsa").
std::string AlgorithmForKeygenType(const std::string& keygenType);

}  // namespace velunor::test
