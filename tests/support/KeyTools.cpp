#include "support/KeyTools.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/CByteBuffer.h"

extern char** environ;

namespace velunor::test {

CKeyDir::CKeyDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velunor-keys-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

CKeyDir::~CKeyDir() {
    if (path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

int RunTool(const std::vector<std::string>& argv, std::string* output, int timeoutSeconds) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return -1;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string collected;
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{pipeFds[0], POLLIN, 0};
        int ready = poll(&fd, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t n = read(pipeFds[0], chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        collected.append(chunk, size_t(n));
    }
    close(pipeFds[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output != nullptr) *output = collected;
    if (timedOut || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string MakeSshKeygenKey(const CKeyDir& dir, const std::string& type, int bits, const std::string& name) {
    std::string path = dir.File(name);
    int rc = RunTool({"ssh-keygen", "-q", "-t", type, "-b", std::to_string(bits), "-N", "", "-m", "PEM", "-C",
                      "velunor-test", "-f", path});
    return rc == 0 ? path : std::string();
}

std::string MakeOpensslRsaKey(const CKeyDir& dir, int bits, const std::string& name) {
    std::string path = dir.File(name);
    int rc = RunTool({"openssl", "genrsa", "-out", path, std::to_string(bits)});
    return rc == 0 ? path : std::string();
}

EvpPkeyPtr LoadPrivateKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, const_cast<char*>(""));
    std::fclose(file);
    return EvpPkeyPtr(key);
}

std::vector<uint8_t> PrivateBlobOf(EVP_PKEY* key) {
    if (key == nullptr) return {};
    std::vector<const char*> names;
    CByteBuffer blob;
    if (EVP_PKEY_is_a(key, "RSA")) {
        blob.PutCString("ssh-rsa");
        names = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                 OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                 OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    } else if (EVP_PKEY_is_a(key, "DSA")) {
        blob.PutCString("ssh-dss");
        names = {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_Q, OSSL_PKEY_PARAM_FFC_G, OSSL_PKEY_PARAM_PUB_KEY,
                 OSSL_PKEY_PARAM_PRIV_KEY};
    } else {
        return {};
    }
    for (const char* name : names) {
        BIGNUM* raw = nullptr;
        if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
        BnPtr number(raw);
        blob.PutMpint(number.get());
    }
    return {blob.Data(), blob.Data() + blob.Length()};
}

std::vector<uint8_t> PublicBlobFromFile(const std::string& pubPath) {
    std::ifstream file(pubPath);
    std::string type, encoded;
    if (!(file >> type >> encoded)) return {};
    std::vector<uint8_t> decoded(encoded.size());
    int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(encoded.data()), int(encoded.size()));
    if (n < 0) return {};
    // The block decoder counts padding as zero bytes; drop one per "=".
    size_t padding = 0;
    for (auto it = encoded.rbegin(); it != encoded.rend() && *it == '='; ++it) ++padding;
    decoded.resize(size_t(n) - padding);
    return decoded;
}

std::string SshKeygenMd5Fingerprint(const std::string& pubPath) {
    std::string output;
    if (RunTool({"ssh-keygen", "-l", "-E", "md5", "-f", pubPath}, &output) != 0) return {};
    std::istringstream line(output);
    std::string bits, fingerprint;
    if (!(line >> bits >> fingerprint) || fingerprint.rfind("MD5:", 0) != 0) return {};
    return fingerprint.substr(4);
}

}  // namespace velunor::test
