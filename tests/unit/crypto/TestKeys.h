#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/KeyTools.h"

namespace velunor::test {

// Keys made once per test run in a private directory: RSA 2048 and DSA 1024 from ssh-keygen,
// RSA 767 and 768 from openssl (ssh-keygen refuses keys that small).
struct TestKey {
    std::string path;        // private key (PEM); path + ".pub" exists for ssh-keygen keys
    EvpPkeyPtr library;      // the same key as the library reads it
    std::vector<uint8_t> privateBlob;
};

class TestKeys {
public:
    static TestKeys& Get() {
        static TestKeys keys;
        return keys;
    }
    // The named key ("rsa2048", "dsa1024", "rsa767", "rsa768"); fails the test if it is missing.
    const TestKey& Key(const std::string& name) {
        auto it = keys.find(name);
        if (it == keys.end() || !it->second.library || it->second.privateBlob.empty()) {
            ADD_FAILURE() << "test key " << name << " could not be made in " << dir.File("");
            static const TestKey empty{};
            return empty;
        }
        return it->second;
    }

private:
    TestKeys() {
        Add("rsa2048", MakeSshKeygenKey(dir, "rsa", 2048, "rsa2048"));
        Add("dsa1024", MakeSshKeygenKey(dir, "dsa", 1024, "dsa1024"));
        Add("rsa767", MakeOpensslRsaKey(dir, 767, "rsa767"));
        Add("rsa768", MakeOpensslRsaKey(dir, 768, "rsa768"));
    }
    void Add(const std::string& name, const std::string& path) {
        if (path.empty()) return;
        TestKey key;
        key.path = path;
        key.library = LoadPrivateKey(path);
        key.privateBlob = PrivateBlobOf(key.library.get());
        keys[name] = std::move(key);
    }

    CKeyDir dir;
    std::map<std::string, TestKey> keys;
};

}  // namespace velunor::test
