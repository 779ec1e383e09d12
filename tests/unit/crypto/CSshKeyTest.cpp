#include "crypto/CSshKey.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>

#include <cstring>
#include <fstream>

#include "base/CWireReader.h"
#include "crypto/CDssKey.h"
#include "crypto/CRsaKey.h"
#include "crypto/KeyOps.h"
#include "unit/crypto/CryptoTestUtil.h"
#include "unit/crypto/TestKeys.h"

namespace velunor {
namespace {

using test::TestKey;
using test::TestKeys;

std::vector<uint8_t> Bytes(const char* text) { return {text, text + std::strlen(text)}; }

std::vector<uint8_t> Blob(const std::string& algorithm, const std::vector<uint8_t>& value) {
    CByteBuffer b;
    b.PutCString(algorithm.c_str());
    b.PutString(value.data(), uint32_t(value.size()));
    return {b.Data(), b.Data() + b.Length()};
}

// The value inside a signature blob, read independently of the code under test.
std::vector<uint8_t> ValueOf(const CSecureBlock& blob) {
    CWireReader in(blob.Bytes());
    in.String();
    auto value = in.String();
    return {value.begin(), value.end()};
}

// Reference signing and verification with the library's EVP digest-sign interface, wrapping
// and unwrapping the SSH signature encoding by hand.
std::vector<uint8_t> LibrarySign(EVP_PKEY* key, const std::vector<uint8_t>& data) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1)
        return {};
    std::vector<uint8_t> signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1) return {};
    signature.resize(length);
    if (EVP_PKEY_is_a(key, "RSA")) return Blob("ssh-rsa", signature);
    const unsigned char* cursor = signature.data();
    DsaSigPtr pair(d2i_DSA_SIG(nullptr, &cursor, long(signature.size())));
    const BIGNUM *r = nullptr, *s = nullptr;
    DSA_SIG_get0(pair.get(), &r, &s);
    std::vector<uint8_t> raw(40);
    BN_bn2binpad(r, raw.data(), 20);
    BN_bn2binpad(s, raw.data() + 20, 20);
    return Blob("ssh-dss", raw);
}

bool LibraryVerifies(EVP_PKEY* key, const CSecureBlock& blob, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> value = ValueOf(blob);
    if (EVP_PKEY_is_a(key, "DSA")) {
        if (value.size() != 40) return false;
        DsaSigPtr pair(DSA_SIG_new());
        DSA_SIG_set0(pair.get(), BN_bin2bn(value.data(), 20, nullptr), BN_bin2bn(value.data() + 20, 20, nullptr));
        unsigned char* derBytes = nullptr;
        int n = i2d_DSA_SIG(pair.get(), &derBytes);
        OpenSslBytesPtr der(derBytes);
        if (n <= 0) return false;
        value.assign(der.get(), der.get() + n);
    }
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), value.data(), value.size(), data.data(), data.size()) == 1;
}

std::unique_ptr<CSshKey> KeyFor(const TestKey& key) { return CSshKey::FromPrivateBlob(key.privateBlob); }

int VerifyBlob(CSshKey& key, const std::vector<uint8_t>& blob, const std::vector<uint8_t>& data, int raw = 0) {
    return key.Verify(blob.data(), int32_t(blob.size()), data.data(), int32_t(data.size()), raw);
}

class KeySignatures : public ::testing::TestWithParam<const char*> {
protected:
    const TestKey& Material() { return TestKeys::Get().Key(GetParam()); }
    const std::vector<uint8_t> data = Bytes("exchange hash stand-in: twenty bytes or any length");
};

TEST_P(KeySignatures, SignIsAcceptedByTheLibrary) {
    auto key = KeyFor(Material());
    ASSERT_NE(key, nullptr);
    CSecureBlock signature;
    ASSERT_EQ(key->Sign(&signature, data.data(), uint32_t(data.size())), 0);
    EXPECT_TRUE(LibraryVerifies(Material().library.get(), signature, data));
    EXPECT_EQ(key->Verify(signature.Data(), int32_t(signature.Length()), data.data(), int32_t(data.size()), 0), 1);
}

TEST_P(KeySignatures, LibrarySignatureVerifiesAndTamperedDataDoesNot) {
    auto key = KeyFor(Material());
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> blob = LibrarySign(Material().library.get(), data);
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(VerifyBlob(*key, blob, data), 1);
    std::vector<uint8_t> other = data;
    other[0] ^= 1;
    EXPECT_EQ(VerifyBlob(*key, blob, other), 0);
}

TEST_P(KeySignatures, PublicBlobRoundTripsThroughAFreshKey) {
    auto key = KeyFor(Material());
    ASSERT_NE(key, nullptr);
    CByteBuffer* first = key->GetPublicBlob();
    std::vector<uint8_t> blob(first->Data(), first->Data() + first->Length());
    CByteBuffer* second = key->GetPublicBlob();
    EXPECT_EQ(second, first);
    EXPECT_EQ(test::ToHex(second->Data(), second->Length()), test::ToHex(blob));

    if (std::string pub = Material().path + ".pub"; std::ifstream(pub).good()) {
        EXPECT_EQ(test::ToHex(blob), test::ToHex(test::PublicBlobFromFile(pub))) << "blob differs from ssh-keygen's";
    }

    auto fresh = CSshKey::Create(key->name);
    CByteBuffer input;
    input.Append(blob.data(), uint32_t(blob.size()));
    ASSERT_EQ(fresh->ParsePublicBlob(&input), 1);
    EXPECT_EQ(fresh->Equals(key.get()), 1);
    EXPECT_EQ(key->Equals(fresh.get()), 1);
    std::vector<uint8_t> signature = LibrarySign(Material().library.get(), data);
    EXPECT_EQ(VerifyBlob(*fresh, signature, data), 1);

    CSecureBlock untouched;
    EXPECT_EQ(fresh->Sign(&untouched, data.data(), uint32_t(data.size())), -1) << "no private numbers";
    EXPECT_FALSE(untouched);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeySignatures, ::testing::Values("rsa2048", "dsa1024", "rsa768"),
                         [](const auto& info) { return std::string(info.param); });

struct MalformedCase {
    const char* name;
    const char* key;
    std::vector<uint8_t> (*mutate)(const std::vector<uint8_t>& value, const std::vector<uint8_t>& blob);
};

const MalformedCase kMalformed[] = {
    {"DssInnerStringOf41", "dsa1024", [](auto& v, auto&) { auto w = v; w.push_back(0); return Blob("ssh-dss", w); }},
    {"DssInnerStringOf39", "dsa1024", [](auto& v, auto&) { return Blob("ssh-dss", {v.begin(), v.end() - 1}); }},
    {"DssTrailingByte", "dsa1024", [](auto&, auto& b) { auto w = b; w.push_back(0); return w; }},
    {"DssNamedRsa", "dsa1024", [](auto& v, auto&) { return Blob("ssh-rsa", v); }},
    {"DssNameInCapitals", "dsa1024", [](auto& v, auto&) { return Blob("SSH-DSS", v); }},
    {"DssCutShort", "dsa1024", [](auto&, auto& b) { return std::vector<uint8_t>(b.begin(), b.end() - 1); }},
    {"DssNameOnly", "dsa1024", [](auto&, auto&) { return std::vector<uint8_t>{0, 0, 0, 7, 's', 's', 'h', '-', 'd', 's', 's'}; }},
    {"DssEmpty", "dsa1024", [](auto&, auto&) { return std::vector<uint8_t>{}; }},
    {"RsaTrailingByte", "rsa2048", [](auto&, auto& b) { auto w = b; w.push_back(0); return w; }},
    {"RsaNamedDss", "rsa2048", [](auto& v, auto&) { return Blob("ssh-dss", v); }},
    {"RsaCutShort", "rsa2048", [](auto&, auto& b) { return std::vector<uint8_t>(b.begin(), b.end() - 1); }},
    {"RsaLengthBeyondBlob", "rsa2048", [](auto&, auto& b) { auto w = b; w[11] = 0x7F; return w; }},
    {"RsaEmpty", "rsa2048", [](auto&, auto&) { return std::vector<uint8_t>{}; }},
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedSignature : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedSignature, VerifiesAsMinusOneNotZero) {
    const TestKey& material = TestKeys::Get().Key(GetParam().key);
    auto key = KeyFor(material);
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> data = Bytes("signed data");
    std::vector<uint8_t> blob = LibrarySign(material.library.get(), data);
    ASSERT_EQ(VerifyBlob(*key, blob, data), 1);
    CSecureBlock wrapped(blob.data(), uint32_t(blob.size()));
    std::vector<uint8_t> bad = GetParam().mutate(ValueOf(wrapped), blob);
    EXPECT_EQ(VerifyBlob(*key, bad, data), -1);
}

INSTANTIATE_TEST_SUITE_P(Blobs, MalformedSignature, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CDssKeyVerify, RawSignatureMatchesItsWrappedForm) {
    const TestKey& material = TestKeys::Get().Key("dsa1024");
    auto key = KeyFor(material);
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> data = Bytes("legacy server hash");
    std::vector<uint8_t> blob = LibrarySign(material.library.get(), data);
    std::vector<uint8_t> raw = ValueOf(CSecureBlock(blob.data(), uint32_t(blob.size())));
    ASSERT_EQ(raw.size(), 40u);
    EXPECT_EQ(VerifyBlob(*key, blob, data, 0), 1);
    EXPECT_EQ(VerifyBlob(*key, raw, data, 1), 1);
    EXPECT_EQ(VerifyBlob(*key, raw, data, 0), -1) << "bare bytes are not a blob";
    EXPECT_EQ(VerifyBlob(*key, blob, data, 1), -1) << "a blob is not 40 raw bytes";
    raw[39] ^= 1;
    EXPECT_EQ(VerifyBlob(*key, raw, data, 1), 0);
}

TEST(CRsaKeyVerify, IgnoresRawSignatureFlag) {
    const TestKey& material = TestKeys::Get().Key("rsa2048");
    auto key = KeyFor(material);
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> data = Bytes("hash");
    std::vector<uint8_t> blob = LibrarySign(material.library.get(), data);
    EXPECT_EQ(VerifyBlob(*key, blob, data, 1), 1);
    blob.back() ^= 1;
    EXPECT_EQ(VerifyBlob(*key, blob, data, 0), 0);
    EXPECT_EQ(VerifyBlob(*key, blob, data, 1), 0);
}

TEST(CRsaKeyVerify, ModulusUnder768BitsIsRefused) {
    std::vector<uint8_t> data = Bytes("hash");
    for (auto [name, expected] : {std::pair{"rsa767", -1}, std::pair{"rsa768", 1}}) {
        const TestKey& material = TestKeys::Get().Key(name);
        auto key = KeyFor(material);
        ASSERT_NE(key, nullptr) << name;
        std::vector<uint8_t> blob = LibrarySign(material.library.get(), data);
        ASSERT_FALSE(blob.empty()) << name;
        EXPECT_EQ(VerifyBlob(*key, blob, data), expected) << name;
    }
}

// About one signature in 256 starts with a zero byte; the search is bounded far beyond that.
template <typename Predicate>
bool FindSignature(CSshKey& key, Predicate wanted, std::vector<uint8_t>* data, CSecureBlock* signature) {
    for (uint32_t attempt = 0; attempt < 6000; ++attempt) {
        *data = Bytes(("message " + std::to_string(attempt)).c_str());
        if (key.Sign(signature, data->data(), uint32_t(data->size())) != 0) return false;
        if (wanted(ValueOf(*signature))) return true;
    }
    return false;
}

TEST(CDssKeySign, LeadingZeroOfRIsKeptRightAligned) {
    const TestKey& material = TestKeys::Get().Key("dsa1024");
    auto key = KeyFor(material);
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> data;
    CSecureBlock signature;
    ASSERT_TRUE(FindSignature(*key, [](const std::vector<uint8_t>& v) { return v.size() == 40 && v[0] == 0; }, &data,
                              &signature));
    EXPECT_EQ(signature.Length(), 4u + 7u + 4u + 40u);
    EXPECT_TRUE(LibraryVerifies(material.library.get(), signature, data));
}

TEST(CRsaKeySignature, ValueOneByteShortIsLeftPadded) {
    const TestKey& material = TestKeys::Get().Key("rsa768");
    auto key = KeyFor(material);
    ASSERT_NE(key, nullptr);
    std::vector<uint8_t> data;
    CSecureBlock signature;
    ASSERT_TRUE(
        FindSignature(*key, [](const std::vector<uint8_t>& v) { return v[0] == 0; }, &data, &signature));
    std::vector<uint8_t> value = ValueOf(signature);
    EXPECT_EQ(value.size(), 96u) << "delivered at the modulus length";
    EXPECT_TRUE(LibraryVerifies(material.library.get(), signature, data));

    // A signer that drops the leading zero sends one byte less; it is the same signature.
    std::vector<uint8_t> shortBlob = Blob("ssh-rsa", {value.begin() + 1, value.end()});
    EXPECT_EQ(VerifyBlob(*key, shortBlob, data), 1);
    std::vector<uint8_t> longBlob = value;
    longBlob.insert(longBlob.begin(), 0);
    EXPECT_EQ(VerifyBlob(*key, Blob("ssh-rsa", longBlob), data), 0) << "wider than the modulus";

    // What the library hands back one byte short is moved right behind a zero byte.
    std::vector<uint8_t> area(96, 0xCC);
    std::copy(value.begin() + 1, value.end(), area.begin());
    ASSERT_TRUE(RightAlignSignature(area.data(), 95, 96));
    EXPECT_EQ(test::ToHex(area), test::ToHex(value));
    EXPECT_FALSE(RightAlignSignature(area.data(), 97, 96));
}

std::vector<uint8_t> WithChangedNumber(const std::vector<uint8_t>& privateBlob, int index) {
    CWireReader in(privateBlob);
    CByteBuffer out;
    out.PutCString(std::string(in.Text()).c_str());
    for (int i = 0; in.Remaining() > 0; ++i) {
        auto bytes = in.String();
        BnPtr n(BN_bin2bn(bytes.data(), int(bytes.size()), nullptr));
        if (i == index) BN_add_word(n.get(), 2);
        out.PutMpint(n.get());
    }
    return {out.Data(), out.Data() + out.Length()};
}

TEST(CSshKeyEquals, ComparesAlgorithmAndPublicNumbersOnly) {
    auto rsa = KeyFor(TestKeys::Get().Key("rsa2048"));
    auto dss = KeyFor(TestKeys::Get().Key("dsa1024"));
    auto otherRsa = KeyFor(TestKeys::Get().Key("rsa768"));
    ASSERT_TRUE(rsa && dss && otherRsa);
    CSshKey base;
    EXPECT_EQ(rsa->Equals(dss.get()), 0);
    EXPECT_EQ(dss->Equals(rsa.get()), 0);
    EXPECT_EQ(rsa->Equals(otherRsa.get()), 0);
    EXPECT_EQ(rsa->Equals(&base), 0);
    EXPECT_EQ(base.Equals(rsa.get()), 0);
    EXPECT_EQ(rsa->Equals(nullptr), 0);

    // RSA d is number 2 of the blob, DSA x number 4.
    auto rsaOtherD = CSshKey::FromPrivateBlob(WithChangedNumber(TestKeys::Get().Key("rsa2048").privateBlob, 2));
    auto dssOtherX = CSshKey::FromPrivateBlob(WithChangedNumber(TestKeys::Get().Key("dsa1024").privateBlob, 4));
    auto rsaOtherN = CSshKey::FromPrivateBlob(WithChangedNumber(TestKeys::Get().Key("rsa2048").privateBlob, 0));
    auto dssOtherY = CSshKey::FromPrivateBlob(WithChangedNumber(TestKeys::Get().Key("dsa1024").privateBlob, 3));
    ASSERT_TRUE(rsaOtherD && dssOtherX && rsaOtherN && dssOtherY);
    EXPECT_EQ(rsa->Equals(rsaOtherD.get()), 1);
    EXPECT_EQ(dss->Equals(dssOtherX.get()), 1);
    EXPECT_EQ(rsa->Equals(rsaOtherN.get()), 0);
    EXPECT_EQ(dss->Equals(dssOtherY.get()), 0);
}

TEST(CSshKeyParsePublicBlob, OtherAlgorithmReadsOnlyTheName) {
    auto rsa = KeyFor(TestKeys::Get().Key("rsa2048"));
    ASSERT_NE(rsa, nullptr);
    CByteBuffer* blob = rsa->GetPublicBlob();
    CByteBuffer input;
    input.Append(blob->Data(), blob->Length());
    CDssKey dss;
    EXPECT_EQ(dss.ParsePublicBlob(&input), 0);
    EXPECT_EQ(input.Length(), blob->Length() - 4 - 7);
    EXPECT_EQ(CSshKey().ParsePublicBlob(&input), 0);
}

TEST(CSshKeyFromPrivateBlob, RefusesShortBlobsAndUnknownAlgorithms) {
    const std::vector<uint8_t>& good = TestKeys::Get().Key("rsa2048").privateBlob;
    ASSERT_FALSE(good.empty());
    EXPECT_EQ(CSshKey::FromPrivateBlob({good.data(), good.size() - 1}), nullptr);
    EXPECT_EQ(CSshKey::FromPrivateBlob(Blob("ssh-ed25519", {1, 2, 3})), nullptr);
    EXPECT_EQ(CSshKey::FromPrivateBlob({}), nullptr);
    CRsaKey rsa;
    EXPECT_EQ(rsa.ParsePrivateBlob(TestKeys::Get().Key("dsa1024").privateBlob), 0);
    EXPECT_EQ(rsa.ParsePrivateBlob({good.data(), good.size() - 1}), -1);
    EXPECT_EQ(rsa.Sign(nullptr, good.data(), 4), -1) << "a failed parse leaves the key empty";
}

}  // namespace
}  // namespace velunor
