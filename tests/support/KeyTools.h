#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/OpenSslHandles.h"

namespace velunor::test {

// A private directory for keys made during a test run; removed with its contents on destruction.
class CKeyDir {
public:
    CKeyDir();
    ~CKeyDir();
    CKeyDir(const CKeyDir&) = delete;
    CKeyDir& operator=(const CKeyDir&) = delete;

    bool Ok() const { return !path.empty(); }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// Runs a program (looked up on PATH) with stdin and stderr on /dev/null, waiting at most
// timeoutSeconds; a program still running then is killed by its pid. Returns the exit status,
// or -1 if it could not start, was killed or timed out. Standard output goes to *output.
int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr, int timeoutSeconds = 60);

// A key pair made by ssh-keygen in PEM form ("rsa" or "dsa"), file and file.pub; the private
// key's path, or "" on failure.
std::string MakeSshKeygenKey(const CKeyDir& dir, const std::string& type, int bits, const std::string& name);
// An RSA key of any size from openssl genrsa (ssh-keygen refuses small ones); "" on failure.
std::string MakeOpensslRsaKey(const CKeyDir& dir, int bits, const std::string& name);

// The key in a PEM private key file, or null.
EvpPkeyPtr LoadPrivateKey(const std::string& path);
// The component's private key blob for a library RSA or DSA key: name, then the numbers
// (RSA n, e, d, p, q, dmp1, dmq1, iqmp; DSA p, q, g, y, x). Empty on failure.
std::vector<uint8_t> PrivateBlobOf(EVP_PKEY* key);
// The decoded key blob of a one-line public key file ("type base64 comment"); empty on failure.
std::vector<uint8_t> PublicBlobFromFile(const std::string& pubPath);
// What ssh-keygen -l -E md5 prints as the fingerprint, without its "MD5:" prefix; "" on failure.
std::string SshKeygenMd5Fingerprint(const std::string& pubPath);

}  // namespace velunor::test
