#pragma once

namespace velunor::test {

// The tools the tests run, by absolute path (ProcessRunner does no PATH search). All come from
// the packages scripts/install-deps.sh installs.
inline constexpr const char* kSshKeygen = "/usr/bin/ssh-keygen";
inline constexpr const char* kSshKeyscan = "/usr/bin/ssh-keyscan";
inline constexpr const char* kOpenssl = "/usr/bin/openssl";
inline constexpr const char* kPuttygen = "/usr/bin/puttygen";
inline constexpr const char* kPython3 = "/usr/bin/python3";
inline constexpr const char* kSshdBinary = "/usr/sbin/sshd";

}  // namespace velunor::test
