#include "crypto/CSshCipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "crypto/OpenSslHandles.h"
#include "unit/crypto/CryptoTestUtil.h"

namespace velunor {
namespace {

using test::PatternBytes;
using test::ToHex;

// The reference: the library's own EVP CBC, in a private library context that carries the
// legacy provider, so the process-wide default context stays as the host left it.
class ReferenceLibrary {
public:
    static ReferenceLibrary& Get() {
        static ReferenceLibrary library;
        return library;
    }
    ~ReferenceLibrary() {
        if (legacy) OSSL_PROVIDER_unload(legacy);
        if (base) OSSL_PROVIDER_unload(base);
        OSSL_LIB_CTX_free(context);
    }

    // CBC without padding over whole blocks, in one pass from the given IV.
    std::vector<uint8_t> Run(const char* cipherName, bool encrypt, const std::vector<uint8_t>& key,
                             const std::vector<uint8_t>& iv, const std::vector<uint8_t>& input) {
        EvpCipherPtr cipher(EVP_CIPHER_fetch(context, cipherName, nullptr));
        EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
        std::vector<uint8_t> output(input.size() + 32);
        int n = 0, tail = 0;
        bool ok = cipher && ctx &&
                  EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), iv.data(), encrypt ? 1 : 0, nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                  EVP_CipherUpdate(ctx.get(), output.data(), &n, input.data(), int(input.size())) == 1 &&
                  EVP_CipherFinal_ex(ctx.get(), output.data() + n, &tail) == 1;
        if (!ok) return {};
        output.resize(size_t(n + tail));
        return output;
    }

private:
    ReferenceLibrary() {
        context = OSSL_LIB_CTX_new();
        base = OSSL_PROVIDER_load(context, "default");
        legacy = OSSL_PROVIDER_load(context, "legacy");
    }
    OSSL_LIB_CTX* context = nullptr;
    OSSL_PROVIDER* base = nullptr;
    OSSL_PROVIDER* legacy = nullptr;
};

struct CipherCase {
    const char* sshName;
    const char* referenceName;  // null: the data passes through unchanged
    const char* objectName;
    int keyLength;
    int blockSize;
};

const CipherCase kCipherCases[] = {
    {"aes128-cbc", "AES-128-CBC", "aes128-cbc", 16, 16},
    {"rijndael128-cbc", "AES-128-CBC", "rijndael128-cbc", 16, 16},
    {"aes192-cbc", "AES-192-CBC", "aes192-cbc", 24, 16},
    {"rijndael192-cbc", "AES-192-CBC", "rijndael192-cbc", 24, 16},
    {"aes256-cbc", "AES-256-CBC", "aes256-cbc", 32, 16},
    {"rijndael256-cbc", "AES-256-CBC", "rijndael256-cbc", 32, 16},
    {"rijndael-cbc@lysator.liu.se", "AES-256-CBC", "rijndael-cbc@lysator.liu.se", 32, 16},
    {"3des-cbc", "DES-EDE3-CBC", "3des-cbc", 24, 8},
    {"blowfish-cbc", "BF-CBC", "blowfish-cbc", 16, 8},
    {"cast128-cbc", "CAST5-CBC", "cast128-cbc", 16, 8},
    {"des-cbc", "DES-CBC", "des-cbc", 8, 8},
    {"des-cbc@ssh.com", "DES-CBC", "des-cbc", 8, 8},
    {"none", nullptr, "none", 0, 8},
};

void PrintTo(const CipherCase& c, std::ostream* os) { *os << c.sshName; }

std::string CaseName(const ::testing::TestParamInfo<CipherCase>& info) {
    std::string name;
    for (const char* c = info.param.sshName; *c; ++c) name.push_back(std::isalnum(uint8_t(*c)) ? *c : '_');
    return name;
}

class CipherFamily : public ::testing::TestWithParam<CipherCase> {
protected:
    void SetUp() override {
        const CipherCase& c = GetParam();
        key = PatternBytes(size_t(c.keyLength), 1000 + uint32_t(c.keyLength));
        iv = PatternBytes(size_t(c.blockSize), 2000 + uint32_t(c.blockSize));
    }

    std::unique_ptr<CSshCipher> Keyed() const {
        auto cipher = CSshCipher::Create(GetParam().sshName);
        if (cipher) {
            cipher->SetIv(iv.data());
            cipher->SetKey(key.data());
        }
        return cipher;
    }

    std::vector<uint8_t> Reference(bool encrypt, const std::vector<uint8_t>& input) const {
        if (GetParam().referenceName == nullptr) return input;
        return ReferenceLibrary::Get().Run(GetParam().referenceName, encrypt, key, iv, input);
    }

    // Packet sizes in whole blocks: one block, a typical packet, a large one.
    std::vector<size_t> Lengths() const {
        size_t b = size_t(GetParam().blockSize);
        return {b, 5 * b, 32768};
    }

    std::vector<uint8_t> key, iv;
};

TEST_P(CipherFamily, CreateGivesNameAndSizes) {
    auto cipher = CSshCipher::Create(GetParam().sshName);
    ASSERT_NE(cipher, nullptr);
    EXPECT_STREQ(cipher->name, GetParam().objectName);
    EXPECT_EQ(cipher->keyLength, GetParam().keyLength);
    EXPECT_EQ(cipher->blockSize, GetParam().blockSize);
}

TEST_P(CipherFamily, MatchesLibraryCbcBothWays) {
    for (size_t length : Lengths()) {
        std::vector<uint8_t> plain = PatternBytes(length, uint32_t(length));
        std::vector<uint8_t> expected = Reference(true, plain);
        ASSERT_EQ(expected.size(), length);

        std::vector<uint8_t> cipherText(length);
        Keyed()->Encrypt(cipherText.data(), plain.data(), int(length));
        EXPECT_EQ(ToHex(cipherText), ToHex(expected)) << "length " << length;

        std::vector<uint8_t> decrypted(length);
        Keyed()->Decrypt(decrypted.data(), expected.data(), int(length));
        EXPECT_EQ(ToHex(decrypted), ToHex(Reference(false, expected))) << "length " << length;
        EXPECT_EQ(ToHex(decrypted), ToHex(plain)) << "length " << length;
    }
}

TEST_P(CipherFamily, TwoPacketsInTwoCallsEqualOneCall) {
    size_t b = size_t(GetParam().blockSize);
    std::vector<uint8_t> plain = PatternBytes(7 * b, 77);
    size_t first = 3 * b;
    for (bool encrypt : {true, false}) {
        std::vector<uint8_t> whole(plain.size()), split(plain.size());
        auto one = Keyed();
        auto two = Keyed();
        if (encrypt) {
            one->Encrypt(whole.data(), plain.data(), int(plain.size()));
            two->Encrypt(split.data(), plain.data(), int(first));
            two->Encrypt(split.data() + first, plain.data() + first, int(plain.size() - first));
        } else {
            one->Decrypt(whole.data(), plain.data(), int(plain.size()));
            two->Decrypt(split.data(), plain.data(), int(first));
            two->Decrypt(split.data() + first, plain.data() + first, int(plain.size() - first));
        }
        EXPECT_EQ(ToHex(split), ToHex(whole)) << (encrypt ? "encrypt" : "decrypt");
        EXPECT_EQ(ToHex(whole), ToHex(Reference(encrypt, plain))) << (encrypt ? "encrypt" : "decrypt");
    }
}

TEST_P(CipherFamily, InPlaceEqualsSeparateBuffer) {
    std::vector<uint8_t> data = PatternBytes(9 * size_t(GetParam().blockSize), 99);
    for (bool encrypt : {true, false}) {
        std::vector<uint8_t> apart(data.size());
        std::vector<uint8_t> inPlace = data;
        auto a = Keyed();
        auto b = Keyed();
        if (encrypt) {
            a->Encrypt(apart.data(), data.data(), int(data.size()));
            b->Encrypt(inPlace.data(), inPlace.data(), int(inPlace.size()));
        } else {
            a->Decrypt(apart.data(), data.data(), int(data.size()));
            b->Decrypt(inPlace.data(), inPlace.data(), int(inPlace.size()));
        }
        EXPECT_EQ(ToHex(inPlace), ToHex(apart)) << (encrypt ? "encrypt" : "decrypt");
    }
}

// A length that is not whole blocks must neither write output nor move the chaining value: the
// next whole packet still continues from the IV.
class BlockCipherFamily : public CipherFamily {};

TEST_P(BlockCipherFamily, PartialLengthsLeaveOutputAndChainUntouched) {
    int b = GetParam().blockSize;
    std::vector<uint8_t> plain = PatternBytes(size_t(4 * b), 44);
    for (bool encrypt : {true, false}) {
        auto cipher = Keyed();
        for (int length : {0, b / 2, b + b / 2, 3 * b / 2 * 2 + 1, -b}) {
            std::vector<uint8_t> out(plain.size() + size_t(b), 0xEE);
            if (encrypt)
                cipher->Encrypt(out.data(), plain.data(), length);
            else
                cipher->Decrypt(out.data(), plain.data(), length);
            for (uint8_t byte : out) ASSERT_EQ(byte, 0xEE) << "length " << length;
        }
        std::vector<uint8_t> out(plain.size());
        if (encrypt)
            cipher->Encrypt(out.data(), plain.data(), int(plain.size()));
        else
            cipher->Decrypt(out.data(), plain.data(), int(plain.size()));
        EXPECT_EQ(ToHex(out), ToHex(Reference(encrypt, plain))) << (encrypt ? "encrypt" : "decrypt");
    }
}

std::vector<CipherCase> BlockCipherCases() {
    std::vector<CipherCase> picked;
    for (const CipherCase& c : kCipherCases)
        if (c.referenceName != nullptr) picked.push_back(c);
    return picked;
}

INSTANTIATE_TEST_SUITE_P(AllNames, CipherFamily, ::testing::ValuesIn(kCipherCases), CaseName);
// The none cipher copies whatever length it is given.
INSTANTIATE_TEST_SUITE_P(BlockNames, BlockCipherFamily, ::testing::ValuesIn(BlockCipherCases()), CaseName);

TEST(CSshCipherCreate, RefusesNamesNotOffered) {
    for (const char* name : {"", "aes128-ctr", "AES128-CBC", "arcfour", "des", "3des-cbc "})
        EXPECT_EQ(CSshCipher::Create(name), nullptr) << name;
}

TEST(CNoneCipher, CopiesAnyLength) {
    auto cipher = CSshCipher::Create("none");
    const uint8_t in[5] = {1, 2, 3, 4, 5};
    uint8_t out[5] = {};
    cipher->Encrypt(out, in, 5);
    EXPECT_EQ(std::memcmp(out, in, 5), 0);
}

}  // namespace
}  // namespace velunor
