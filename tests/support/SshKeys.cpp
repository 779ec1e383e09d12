#include "support/SshKeys.h"

#include "support/ProcessRunner.h"
#include "support/TempDir.h"
#include "support/Tools.h"

#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace velunor::test {

namespace {

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// One `ssh-keygen -l` line: "<bits> <HASH:fingerprint> <comment...> (<KIND>)".
bool ParseFingerprintLine(const std::string& line, const std::string& hashPrefix, std::string& fp,
                          std::string& kind) {
    std::istringstream in(line);
    std::string bits, field;
    if (!(in >> bits >> field)) return false;
    if (field.rfind(hashPrefix, 0) != 0) return false;
    fp = field.substr(hashPrefix.size());
    size_t open = line.rfind('(');
    size_t close = line.rfind(')');
    kind = (open != std::string::npos && close != std::string::npos && close > open)
               ? line.substr(open + 1, close - open - 1)
               : std::string();
    return true;
}

}  // namespace

std::string AlgorithmForKeygenType(const std::string& keygenType) {
    if (keygenType == "rsa") return "ssh-rsa";
    if (keygenType == "dsa") return "ssh-dss";
    if (keygenType == "ed25519") return "ssh-ed25519";
    if (keygenType == "ecdsa") return "ecdsa-sha2-nistp256";
    return keygenType;
}

::testing::AssertionResult GenerateSshKey(const std::string& dir, const std::string& name,
                                          const std::string& keygenType, SshKeyFiles& out,
                                          const KeyGenOptions& options) {
    out = {};
    out.keygenType = keygenType;
    out.privatePath = dir + "/" + name;
    out.publicPath = out.privatePath + ".pub";
    std::vector<std::string> args{"-q", "-t", keygenType, "-N", options.passphrase, "-C", options.comment,
                                  "-f", out.privatePath};
    int bits = options.bits != 0 ? options.bits : (keygenType == "rsa" ? 2048 : 0);
    if (bits != 0) {
        args.push_back("-b");
        args.push_back(std::to_string(bits));
    }
    if (!options.format.empty()) {
        args.push_back("-m");
        args.push_back(options.format);
    }
    CommandResult made = RunCommand(kSshKeygen, args);
    if (!made.Ok()) return ::testing::AssertionFailure() << "ssh-keygen failed: " << made.description;

    out.publicLine = Trim(ReadTextFile(out.publicPath));
    out.algorithm = out.publicLine.substr(0, out.publicLine.find(' '));
    if (out.algorithm.empty()) return ::testing::AssertionFailure() << "no public key in " << out.publicPath;

    std::vector<KeyFingerprint> md5;
    if (auto r = Md5Fingerprints(out.publicPath, md5); !r) return r;
    if (md5.size() != 1) return ::testing::AssertionFailure() << "expected one fingerprint for " << out.publicPath;
    out.md5 = md5[0].md5;

    CommandResult sha = RunCommand(kSshKeygen, {"-l", "-E", "sha256", "-f", out.publicPath});
    std::string kind;
    if (!sha.Ok() || !ParseFingerprintLine(sha.out, "", out.sha256, kind))
        return ::testing::AssertionFailure() << "ssh-keygen -l failed: " << sha.description;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SharedHostKey(const std::string& keygenType, SshKeyFiles& out) {
    static std::mutex lock;
    static std::unique_ptr<TempDir> dir;
    static std::map<std::string, SshKeyFiles> made;
    std::lock_guard<std::mutex> hold(lock);
    if (auto it = made.find(keygenType); it != made.end()) {
        out = it->second;
        return ::testing::AssertionSuccess();
    }
    if (!dir) dir = std::make_unique<TempDir>();
    KeyGenOptions options;
    options.comment = "velunor-host-" + keygenType;
    if (auto r = GenerateSshKey(dir->Path(), "host_" + keygenType + "_key", keygenType, out, options); !r) return r;
    made[keygenType] = out;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Md5Fingerprints(const std::string& path, std::vector<KeyFingerprint>& out) {
    out.clear();
    CommandResult listed = RunCommand(kSshKeygen, {"-l", "-E", "md5", "-f", path});
    if (!listed.Ok()) return ::testing::AssertionFailure() << "ssh-keygen -l failed: " << listed.description;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        KeyFingerprint fp;
        if (ParseFingerprintLine(line, "MD5:", fp.md5, fp.kind)) out.push_back(fp);
    }
    if (out.empty()) return ::testing::AssertionFailure() << "no fingerprint in: " << listed.description;
    return ::testing::AssertionSuccess();
}

}  // namespace velunor::test
