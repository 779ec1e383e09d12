#include "crypto/Rijndael.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "unit/crypto/CryptoTestUtil.h"

namespace velunor {
namespace {

using test::FromHex;
using test::ToHex;

struct KnownAnswer {
    std::vector<uint8_t> key;
    std::vector<uint8_t> plaintext;
    std::vector<uint8_t> ciphertext;
    std::string lastWord;
};

std::vector<KnownAnswer> LoadKnownAnswers() {
    std::ifstream file(VELUNOR_SOURCE_DIR "/tests/unit/data/fips197.vec");
    std::vector<KnownAnswer> records;
    std::map<std::string, std::string> fields;
    auto flush = [&] {
        if (fields.empty()) return;
        records.push_back({FromHex(fields["Key"]), FromHex(fields["Plaintext"]), FromHex(fields["Ciphertext"]),
                           fields["LastWord"]});
        fields.clear();
    };
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line[0] == '#') continue;
        auto eq = line.find(" = ");
        if (eq == std::string::npos) {
            flush();
            continue;
        }
        fields[line.substr(0, eq)] = line.substr(eq + 3);
    }
    flush();
    return records;
}

const std::vector<KnownAnswer>& KnownAnswers() {
    static const std::vector<KnownAnswer> records = LoadKnownAnswers();
    return records;
}

std::vector<KnownAnswer> BlockRecords() {
    std::vector<KnownAnswer> picked;
    for (const KnownAnswer& r : KnownAnswers())
        if (!r.plaintext.empty()) picked.push_back(r);
    return picked;
}

std::vector<KnownAnswer> ExpansionRecords() {
    std::vector<KnownAnswer> picked;
    for (const KnownAnswer& r : KnownAnswers())
        if (!r.lastWord.empty()) picked.push_back(r);
    return picked;
}

void PrintTo(const KnownAnswer& r, std::ostream* os) { *os << "key " << ToHex(r.key); }

std::string RecordName(const ::testing::TestParamInfo<KnownAnswer>& info) {
    return "Key" + std::to_string(info.param.key.size() * 8) + "_" + std::to_string(info.index);
}

class RijndaelKnownAnswer : public ::testing::TestWithParam<KnownAnswer> {
protected:
    const KnownAnswer& Record() const { return GetParam(); }
    int KeyBits() const { return int(Record().key.size() * 8); }
};

class RijndaelKeyExpansion : public RijndaelKnownAnswer {};

TEST(RijndaelVectors, FileHoldsEveryKeySize) {
    std::map<size_t, int> blocksPerKeySize;
    for (const KnownAnswer& r : KnownAnswers())
        if (!r.plaintext.empty()) ++blocksPerKeySize[r.key.size()];
    EXPECT_GE(blocksPerKeySize[16], 1);
    EXPECT_GE(blocksPerKeySize[24], 1);
    EXPECT_GE(blocksPerKeySize[32], 1);
}

TEST_P(RijndaelKnownAnswer, EncryptsAndDecryptsInPlaceAndApart) {
    const KnownAnswer& r = Record();
    RijndaelContext enc, dec;
    RijndaelSetKey(&enc, r.key.data(), KeyBits(), true);
    RijndaelSetKey(&dec, r.key.data(), KeyBits(), false);
    EXPECT_EQ(enc.rounds, KeyBits() / 32 + 6);
    EXPECT_EQ(enc.decrypt, 0);
    EXPECT_EQ(dec.decrypt, 1);

    uint8_t apart[16];
    RijndaelEncryptBlock(&enc, r.plaintext.data(), apart);
    EXPECT_EQ(ToHex(apart, 16), ToHex(r.ciphertext));
    uint8_t inPlace[16];
    std::memcpy(inPlace, r.plaintext.data(), 16);
    RijndaelEncryptBlock(&enc, inPlace, inPlace);
    EXPECT_EQ(ToHex(inPlace, 16), ToHex(r.ciphertext));

    RijndaelDecryptBlock(&dec, r.ciphertext.data(), apart);
    EXPECT_EQ(ToHex(apart, 16), ToHex(r.plaintext));
    RijndaelDecryptBlock(&dec, inPlace, inPlace);
    EXPECT_EQ(ToHex(inPlace, 16), ToHex(r.plaintext));
}

TEST_P(RijndaelKeyExpansion, EndsOnKnownWord) {
    const KnownAnswer& r = Record();
    uint32_t words[RijndaelContext::MaxRoundKeyWords] = {};
    int rounds = RijndaelExpandKey(words, r.key.data(), KeyBits());
    ASSERT_EQ(rounds, KeyBits() / 32 + 6);
    uint32_t last = words[4 * (rounds + 1) - 1];
    uint8_t bytes[4] = {uint8_t(last >> 24), uint8_t(last >> 16), uint8_t(last >> 8), uint8_t(last)};
    EXPECT_EQ(ToHex(bytes, 4), r.lastWord);
}

INSTANTIATE_TEST_SUITE_P(Fips197, RijndaelKnownAnswer, ::testing::ValuesIn(BlockRecords()), RecordName);
INSTANTIATE_TEST_SUITE_P(Fips197, RijndaelKeyExpansion, ::testing::ValuesIn(ExpansionRecords()), RecordName);

TEST(RijndaelSetKey, UnsupportedKeyLengthLeavesRoundsAtZero) {
    std::vector<uint8_t> key(20, 0x5A);
    for (bool forEncryption : {true, false}) {
        RijndaelContext context;
        RijndaelSetKey(&context, key.data(), 160, forEncryption);
        EXPECT_EQ(context.rounds, 0);
    }
    uint32_t words[RijndaelContext::MaxRoundKeyWords];
    EXPECT_EQ(RijndaelExpandKey(words, key.data(), 160), 0);
}

// Reference InvMixColumns, written from the matrix rather than from the cipher's tables.
uint8_t GfMultiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) product ^= a;
        a = uint8_t((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
    }
    return product;
}

uint32_t InvMixColumn(uint32_t w) {
    uint8_t a[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
    static const uint8_t kRow[4] = {14, 11, 13, 9};
    uint32_t out = 0;
    for (int r = 0; r < 4; ++r) {
        uint8_t b = 0;
        for (int c = 0; c < 4; ++c) b ^= GfMultiply(a[c], kRow[(c - r + 4) % 4]);
        out = (out << 8) | b;
    }
    return out;
}

class RijndaelDecryptSchedule : public ::testing::TestWithParam<int> {};

TEST_P(RijndaelDecryptSchedule, IsReversedWithInnerRoundsInvMixed) {
    int keyBits = GetParam();
    std::vector<uint8_t> key = test::PatternBytes(size_t(keyBits / 8), uint32_t(keyBits));
    RijndaelContext enc, dec;
    RijndaelSetKey(&enc, key.data(), keyBits, true);
    RijndaelSetKey(&dec, key.data(), keyBits, false);
    for (uint32_t w : enc.decryptKeys) ASSERT_EQ(w, 0u);

    int rounds = enc.rounds;
    ASSERT_EQ(dec.rounds, rounds);
    for (int round = 0; round <= rounds; ++round) {
        for (int k = 0; k < 4; ++k) {
            uint32_t source = enc.encryptKeys[4 * (rounds - round) + k];
            uint32_t expected = (round == 0 || round == rounds) ? source : InvMixColumn(source);
            EXPECT_EQ(dec.decryptKeys[4 * round + k], expected) << "round " << round << " word " << k;
        }
    }
    // The encryption words stay in the decryption context too.
    EXPECT_EQ(std::memcmp(enc.encryptKeys, dec.encryptKeys, sizeof(enc.encryptKeys)), 0);
}

TEST_P(RijndaelDecryptSchedule, InvertKeyExpandsFirstWhenRoundsUnknown) {
    int keyBits = GetParam();
    std::vector<uint8_t> key = test::PatternBytes(size_t(keyBits / 8), uint32_t(keyBits) + 1);
    RijndaelContext dec;
    RijndaelSetKey(&dec, key.data(), keyBits, false);
    uint32_t words[RijndaelContext::MaxRoundKeyWords] = {};
    EXPECT_EQ(RijndaelInvertKey(words, key.data(), keyBits, 0), dec.rounds);
    EXPECT_EQ(std::memcmp(words, dec.decryptKeys, sizeof(uint32_t) * 4 * (dec.rounds + 1)), 0);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RijndaelDecryptSchedule, ::testing::Values(128, 192, 256),
                         [](const auto& info) { return "Key" + std::to_string(info.param); });

}  // namespace
}  // namespace velunor
