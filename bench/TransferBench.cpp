// MB/s of a 64 MiB (--mib) download and upload over 127.0.0.1 through the component's public slot table
// (blocking mode), beside the stock command-line sftp client moving the same file from the same
// sshd in the same run. The server offers only aes128-cbc and hmac-sha1, so both clients use
// those. Runs alternate between the two clients so that load from the rest of the machine falls
// on both alike. Every transfer is checked by size and SHA-256; a wrong one stops the benchmark.
//
// Two scopes are reported: the whole session (connect, log in, move the file, disconnect; for
// sftp, the whole process) and the transfer alone (for the component, the Download or Upload
// call; for sftp, the session less the median of a session that moves nothing).
//
// Usage: transfer_bench [--runs=N] [--mib=N] [--buffer-size=N]
//   runs 1 to 10 (default 3), file size in MiB (default 64), the component's BufferSize (default:
//   its own); --benchmark_* flags are ignored.
// Needs root: it starts sshd and logs in as the test account.

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "crypto/OpenSslHandles.h"
#include "support/HostClient.h"
#include "support/ProcessRunner.h"
#include "support/SshKeys.h"
#include "support/SshdServer.h"
#include "support/TempDir.h"
#include "support/TestAccount.h"

using namespace velunor::test;
using Clock = std::chrono::steady_clock;

namespace {

uint64_t kFileBytes = 64ull << 20;  // --mib=N changes it for a quick look
int32_t gBufferSize = 0;            // --buffer-size=N: the component's BufferSize; 0 leaves its default
constexpr const char* kSftp = "/usr/bin/sftp";
constexpr const char* kCipher = "aes128-cbc";
constexpr const char* kMac = "hmac-sha1";
constexpr int32_t kCipherTypeAes128 = 5;
constexpr int16_t kTimeoutSeconds = 120;
// One 64 MiB transfer at 0.5 MB/s fits; a hung client is stopped by its pid.
constexpr auto kSftpDeadline = std::chrono::seconds(180);

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Random-looking bytes, so nothing along the way can shortcut a run of equal bytes.
bool WritePattern(const std::string& path, uint64_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 16);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t written = 0; written < bytes && out;) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        uint64_t n = std::min<uint64_t>(bytes - written, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(n));
        written += n;
    }
    return bool(out);
}

struct FileDigest {
    uint64_t size = 0;
    std::string sha256;  // hex; empty when the file cannot be read
    bool operator==(const FileDigest&) const = default;
};

FileDigest Digest(const std::string& path) {
    FileDigest d;
    std::ifstream in(path, std::ios::binary);
    velunor::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!in || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return d;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), std::streamsize(buf.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        if (EVP_DigestUpdate(ctx.get(), buf.data(), size_t(got)) != 1) return d;
        d.size += uint64_t(got);
    }
    if (in.bad()) return d;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &mdLen) != 1) return d;
    static const char* hex = "0123456789abcdef";
    for (unsigned i = 0; i < mdLen; ++i) {
        d.sha256.push_back(hex[md[i] >> 4]);
        d.sha256.push_back(hex[md[i] & 15]);
    }
    return d;
}

std::string ErrorText(HostClient& host, int32_t code) {
    BSTR text = nullptr;
    host.T().GetErrorText(host.Raw(), int16_t(code), &text);
    std::string s;
    for (uint32_t i = 0; text != nullptr && i < SysStringLen(text); ++i) s.push_back(text[i] < 128 ? char(text[i]) : '?');
    SysFreeString(text);
    return std::to_string(code) + " (" + s + ")";
}

struct Timing {
    double session = 0;   // connect to disconnect, or the whole sftp process
    double transfer = 0;  // the transfer call alone; 0 where it cannot be seen (sftp)
};

// Everything one run needs: the server, its account's directory, the client key for sftp and
// the file both clients move.
class Bench {
public:
    bool Setup() {
        if (geteuid() != 0) return Fail("must run as root (sshd and the test account)");
        if (access(kSftp, X_OK) != 0) return Fail(std::string(kSftp) + " is missing (openssh-client)");
        if (auto ok = TestAccount::Ensure(); !ok) return Fail(ok.message());
        if (work.Path().empty() || remote.Path().empty()) return Fail("cannot make temp directories");
        if (auto ok = GenerateSshKey(work.Path(), "client", "ed25519", clientKey); !ok) return Fail(ok.message());

        SshdOptions options;
        options.ciphers = kCipher;  // a plain list replaces sshd's own
        options.macs = kMac;
        options.logLevel = "DEBUG1";  // logs each session's negotiated cipher and MAC
        if (auto ok = sshd.Start(options); !ok) return Fail(ok.message());
        if (!sshd.AddAuthorizedKey(clientKey.publicLine)) return Fail("cannot write authorized_keys");

        source = work.Join("source.bin");
        remoteSource = remote.Join("source.bin");
        if (!WritePattern(source, kFileBytes) || !WritePattern(remoteSource, kFileBytes))
            return Fail("cannot write the source file");
        if (auto ok = TestAccount::GiveTo(remote.Path()); !ok) return Fail(ok.message());
        expected = Digest(source);
        if (expected.size != kFileBytes || !(Digest(remoteSource) == expected)) return Fail("source files differ");
        return true;
    }

    // The component: Connect, Download or Upload, Disconnect, all blocking.
    bool Ours(bool download, Timing& t) {
        std::string local = work.Join("ours-down.bin");
        std::string target = remote.Join("ours-up.bin");
        unlink(local.c_str());
        unlink(target.c_str());

        HostClient host;
        host.T().put_CipherType(host.Raw(), kCipherTypeAes128);
        host.T().put_Timeout(host.Raw(), kTimeoutSeconds);
        if (gBufferSize != 0) host.T().put_BufferSize(host.Raw(), gBufferSize);
        host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
        auto t0 = Clock::now();
        int32_t rc = host.Connect(sshd.Port());
        if (rc != 0) return Fail("component connect failed: " + ErrorText(host, rc) + "\n" + sshd.Describe());
        auto t1 = Clock::now();
        VARIANT l = TextArg(download ? local : source);
        VARIANT r = TextArg(download ? remoteSource : target);
        rc = download ? host.T().Download(host.Raw(), l, r) : host.T().Upload(host.Raw(), l, r);
        auto t2 = Clock::now();
        VariantClear(&l);
        VariantClear(&r);
        host.T().Disconnect(host.Raw());
        auto t3 = Clock::now();
        if (rc != 0) return Fail(std::string("component ") + (download ? "download" : "upload") + " failed: " + ErrorText(host, rc));
        bool negotiated = false;
        for (const auto& e : host.events)
            if (e.name == "OnServerInfo" && e.text.find(std::string("|") + kCipher + "|" + kCipher + "|") != std::string::npos)
                negotiated = true;
        if (!negotiated) return Fail("the component did not report aes128-cbc both ways");
        t.session = Seconds(t0, t3);
        t.transfer = Seconds(t1, t2);
        return Check(download ? local : target, "component");
    }

    // The stock client, as a separate process with a batch file; nothing to move is the
    // session's fixed cost (start, key exchange, login, subsystem start, exit).
    enum class SftpJob { Nothing, Download, Upload };
    bool Sftp(SftpJob job, Timing& t) {
        std::string local = work.Join("sftp-down.bin");
        std::string target = remote.Join("sftp-up.bin");
        unlink(local.c_str());
        unlink(target.c_str());
        std::string batch = job == SftpJob::Download ? "get " + remoteSource + " " + local + "\n"
                            : job == SftpJob::Upload ? "put " + source + " " + target + "\n"
                                                     : std::string("pwd\n");
        std::string batchPath = work.WriteFile("batch.txt", batch);
        ProcessSpec command;
        command.program = kSftp;
        command.args = {"-q", "-F", "/dev/null", "-b", batchPath,
                     "-o", std::string("Ciphers=") + kCipher, "-o", std::string("MACs=") + kMac,
                     "-o", "KexAlgorithms=+diffie-hellman-group1-sha1", "-o", "HostKeyAlgorithms=+ssh-rsa",
                     "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                     "-o", "IdentitiesOnly=yes", "-o", "PasswordAuthentication=no",
                     "-i", clientKey.privatePath, "-P", std::to_string(sshd.Port()),
                     std::string(TestAccount::kUser) + "@127.0.0.1"};
        auto t0 = Clock::now();
        CommandResult result = RunCommand(command, kSftpDeadline);
        auto t1 = Clock::now();
        if (!result.Ok()) return Fail("sftp failed: " + result.description);
        t.session = Seconds(t0, t1);
        if (job == SftpJob::Nothing) return true;
        return Check(job == SftpJob::Download ? local : target, "sftp");
    }

    // Every session the server saw used the one cipher and MAC, both ways.
    bool CheckServerLog(int sessions) {
        std::string log = sshd.Log();
        std::string want = std::string("cipher: ") + kCipher + " MAC: " + kMac;
        int seen = 0, right = 0;
        for (size_t at = 0; (at = log.find("kex: client->server cipher: ", at)) != std::string::npos; ++at) ++seen;
        for (const char* dir : {"kex: client->server ", "kex: server->client "})
            for (size_t at = 0; (at = log.find(std::string(dir) + want, at)) != std::string::npos; ++at) ++right;
        if (seen < sessions || right != 2 * seen)
            return Fail("sshd log: " + std::to_string(seen) + " key exchanges, " + std::to_string(right) +
                        " directions with " + want + "; expected " + std::to_string(sessions) + " and " +
                        std::to_string(2 * seen));
        return true;
    }

    const std::string& Error() const { return error; }

private:
    bool Check(const std::string& path, const char* who) {
        FileDigest got = Digest(path);
        if (got == expected) return true;
        return Fail(std::string(who) + " moved a wrong file: " + std::to_string(got.size) + " bytes, sha256 " +
                    (got.sha256.empty() ? "?" : got.sha256) + "; expected " + std::to_string(expected.size) +
                    " bytes, sha256 " + expected.sha256);
    }

    bool Fail(const std::string& message) {
        error = message;
        return false;
    }

    TempDir work{0755};    // root's side: the client key, batch files, local copies
    TempDir remote{0755};  // the account's side: what the server reads and writes
    SshdServer sshd;
    SshKeyFiles clientKey;
    std::string source, remoteSource;
    FileDigest expected;
    std::string error;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Best(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

double MBps(double seconds) { return seconds > 0 ? double(kFileBytes) / 1e6 / seconds : 0; }

void Row(const char* label, const std::vector<double>& ours, const std::vector<double>& theirs) {
    if (theirs.empty()) {
        std::printf("%-20s %8.1f %8.1f   %8s %8s   %6s %6s  (sftp session within its fixed cost)\n", label,
                    MBps(Best(ours)), MBps(Median(ours)), "-", "-", "-", "-");
        return;
    }
    double ob = MBps(Best(ours)), om = MBps(Median(ours)), tb = MBps(Best(theirs)), tm = MBps(Median(theirs));
    std::printf("%-20s %8.1f %8.1f   %8.1f %8.1f   %6.2f %6.2f\n", label, ob, om, tb, tm, ob / tb, om / tm);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::atoi(argv[i] + 7);
        } else if (std::strncmp(argv[i], "--mib=", 6) == 0) {
            int mib = std::atoi(argv[i] + 6);
            if (mib < 1 || mib > 1024) {
                std::fprintf(stderr, "--mib must be 1 to 1024\n");
                return 2;
            }
            kFileBytes = uint64_t(mib) << 20;
        } else if (std::strncmp(argv[i], "--buffer-size=", 14) == 0) {
            gBufferSize = std::atoi(argv[i] + 14);
        } else if (std::strncmp(argv[i], "--benchmark_", 12) != 0) {
            std::fprintf(stderr, "usage: %s [--runs=N] [--mib=N] [--buffer-size=N]\n", argv[0]);
            return 2;
        }
    }
    if (runs < 1 || runs > 10) {
        std::fprintf(stderr, "--runs must be 1 to 10\n");
        return 2;
    }

    Bench bench;
    if (!bench.Setup()) {
        std::fprintf(stderr, "transfer_bench: %s\n", bench.Error().c_str());
        return 1;
    }

    std::vector<double> oursDownSession, oursDownTransfer, oursUpSession, oursUpTransfer, oursLogin;
    std::vector<double> sftpDownSession, sftpUpSession, sftpLogin;
    for (int run = 0; run < runs; ++run) {
        Timing t;
        bool ok = bench.Ours(true, t);
        oursDownSession.push_back(t.session), oursDownTransfer.push_back(t.transfer);
        oursLogin.push_back(t.session - t.transfer);
        ok = ok && bench.Sftp(Bench::SftpJob::Download, t);
        sftpDownSession.push_back(t.session);
        ok = ok && bench.Ours(false, t);
        oursUpSession.push_back(t.session), oursUpTransfer.push_back(t.transfer);
        oursLogin.push_back(t.session - t.transfer);
        ok = ok && bench.Sftp(Bench::SftpJob::Upload, t);
        sftpUpSession.push_back(t.session);
        ok = ok && bench.Sftp(Bench::SftpJob::Nothing, t);
        sftpLogin.push_back(t.session);
        if (!ok) {
            std::fprintf(stderr, "transfer_bench: run %d: %s\n", run + 1, bench.Error().c_str());
            return 1;
        }
        std::fprintf(stderr, "run %d of %d done\n", run + 1, runs);
    }
    if (!bench.CheckServerLog(5 * runs)) {
        std::fprintf(stderr, "transfer_bench: %s\n", bench.Error().c_str());
        return 1;
    }

    // The stock client's transfer alone: its session less the median empty session.
    double sftpFixed = Median(sftpLogin);
    // A session no longer than the fixed cost says nothing about the transfer; it is left out.
    auto less = [&](const std::vector<double>& v) {
        std::vector<double> out;
        for (double s : v)
            if (s > sftpFixed) out.push_back(s - sftpFixed);
        return out;
    };

    std::printf("\n%llu MiB over 127.0.0.1, %s + %s, %d run%s each, component BufferSize %s, every transfer checked by size and SHA-256\n",
                (unsigned long long)(kFileBytes >> 20), kCipher, kMac, runs, runs == 1 ? "" : "s",
                gBufferSize ? std::to_string(gBufferSize).c_str() : "default");
    std::printf("MB/s (1e6 bytes/s)       component          sftp          ours/sftp\n");
    std::printf("%-20s %8s %8s   %8s %8s   %6s %6s\n", "", "best", "median", "best", "median", "best", "median");
    Row("download, session", oursDownSession, sftpDownSession);
    Row("download, transfer", oursDownTransfer, less(sftpDownSession));
    Row("upload, session", oursUpSession, sftpUpSession);
    Row("upload, transfer", oursUpTransfer, less(sftpUpSession));
    std::printf("session without transfer, median ms: component %.0f (connect + disconnect), sftp %.0f (whole process)\n",
                Median(oursLogin) * 1000, sftpFixed * 1000);
    return 0;
}
