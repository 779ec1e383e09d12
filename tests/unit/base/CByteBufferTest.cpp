#include "base/CByteBuffer.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <string>
#include <vector>

using velunor::CByteBuffer;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Contents(const CByteBuffer& b) { return Bytes(b.Data(), b.Data() + b.Length()); }

void Fill(CByteBuffer& b, const Bytes& bytes) { b.Append(bytes.data(), uint32_t(bytes.size())); }

struct BnFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

BnPtr FromHex(const char* hex) {
    BIGNUM* n = nullptr;
    BN_hex2bn(&n, hex);
    return BnPtr(n);
}

}  // namespace

TEST(CByteBufferGrowth, StartsAt4096AndGrowsOnlyWhenTheLastByteWouldFill) {
    CByteBuffer a;
    EXPECT_EQ(a.Length(), 0u);
    EXPECT_EQ(a.Capacity(), 4096u);
    Bytes bytes(4095, 0xAB);
    Fill(a, bytes);
    EXPECT_EQ(a.Capacity(), 4096u);
    EXPECT_EQ(Contents(a), bytes);

    CByteBuffer b;
    Fill(b, Bytes(4096, 1));
    EXPECT_EQ(b.Capacity(), 4096u + 4096u + 32768u);
    EXPECT_EQ(b.Length(), 4096u);
}

TEST(CByteBufferGrowth, RefusesOneAppendAboveMaxReserveAndKeepsContent) {
    CByteBuffer b;
    Fill(b, {1, 2, 3});
    EXPECT_EQ(b.Reserve(CByteBuffer::MaxReserve + 1), nullptr);
    Bytes big(CByteBuffer::MaxReserve + 1, 7);
    Fill(b, big);
    EXPECT_EQ(Contents(b), (Bytes{1, 2, 3}));
    Bytes max(CByteBuffer::MaxReserve, 9);
    Fill(b, max);
    EXPECT_EQ(b.Length(), 3u + CByteBuffer::MaxReserve);
}

TEST(CByteBufferGrowth, StopsAtMaxCapacity) {
    CByteBuffer b;
    Bytes chunk(CByteBuffer::MaxReserve, 5);
    for (int i = 0; i < 12; ++i) Fill(b, chunk);
    EXPECT_LE(b.Capacity(), CByteBuffer::MaxCapacity);
    EXPECT_LT(b.Length(), CByteBuffer::MaxCapacity);
    EXPECT_EQ(b.Length() % CByteBuffer::MaxReserve, 0u);  // whole appends only, never a part
}

TEST(CByteBufferGrowth, FeedAndDrainNeverGrowsOnceItHasRoom) {
    CByteBuffer b;
    Bytes record(1000, 3);
    for (int i = 0; i < 1000; ++i) {
        Fill(b, record);
        Bytes out(1000);
        ASSERT_TRUE(b.Read(out.data(), 1000));
    }
    EXPECT_EQ(b.Capacity(), 4096u);
}

TEST(CByteBufferGrowth, CompactsWhenMostOfTheStorageIsConsumed) {
    CByteBuffer b;
    Fill(b, Bytes(3000, 1));
    b.Skip(2500);
    Fill(b, Bytes(2000, 2));  // 500 unread + 2000 fit after moving the unread bytes to the front
    EXPECT_EQ(b.Capacity(), 4096u);
    EXPECT_EQ(b.Length(), 2500u);
    EXPECT_EQ(b.Data()[0], 1);
    EXPECT_EQ(b.Data()[500], 2);
}

TEST(CByteBufferRaw, ShortReadSkipAndTrimChangeNothing) {
    CByteBuffer b;
    Fill(b, {1, 2, 3});
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(b.Read(out, 4));
    EXPECT_EQ(out[0], 9);
    b.Skip(4);
    b.TrimEnd(4);
    EXPECT_EQ(Contents(b), (Bytes{1, 2, 3}));
    b.TrimEnd(1);
    b.Skip(1);
    EXPECT_EQ(Contents(b), (Bytes{2}));
    EXPECT_EQ(b.GetUint32(), 0u);  // too short: nothing consumed
    EXPECT_EQ(b.Length(), 1u);
}

struct StringCase {
    const char* name;
    Bytes input;
    bool found;
    std::string value;
    uint32_t consumed;
};

class CByteBufferGetString : public testing::TestWithParam<StringCase> {};

TEST_P(CByteBufferGetString, DecodesOrRefuses) {
    const auto& c = GetParam();
    CByteBuffer b;
    Fill(b, c.input);
    auto s = b.GetString();
    EXPECT_EQ(bool(s), c.found);
    if (s) {
        EXPECT_EQ(std::string(s.Text(), s.Length()), c.value);
        EXPECT_EQ(s.Data()[s.Length()], 0);  // NUL after the bytes
    }
    EXPECT_EQ(c.input.size() - b.Length(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CByteBufferGetString,
    testing::Values(StringCase{"Plain", {0, 0, 0, 3, 'a', 'b', 'c', 'x'}, true, "abc", 7},
                    StringCase{"Empty", {0, 0, 0, 0}, true, "", 4},
                    StringCase{"OverLimit", {0, 4, 0, 1}, false, "", 4},
                    StringCase{"LengthBeyondBytes", {0, 0, 0, 9, 'a', 'b'}, false, "", 4},
                    StringCase{"ShortLength", {0, 0, 3}, false, "", 0},
                    StringCase{"HugeLength", {0xFF, 0xFF, 0xFF, 0xFF, 1}, false, "", 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CByteBufferGetStringAtLimit, AcceptsExactlyMaxStringLength) {
    CByteBuffer b;
    b.PutString(std::string(CByteBuffer::MaxStringLength, 'z').data(), CByteBuffer::MaxStringLength);
    auto s = b.GetString();
    ASSERT_TRUE(s);
    EXPECT_EQ(s.Length(), CByteBuffer::MaxStringLength);
    EXPECT_EQ(b.Length(), 0u);
}

struct MpintCase {
    const char* name;
    const char* hex;  // value; a leading '-' for negatives
    Bytes wire;
};

class CByteBufferMpint : public testing::TestWithParam<MpintCase> {};

TEST_P(CByteBufferMpint, EncodesWithFewestBytesThatKeepTheSign) {
    const auto& c = GetParam();
    auto x = FromHex(c.hex);
    CByteBuffer b;
    b.PutMpint(x.get());
    EXPECT_EQ(Contents(b), c.wire);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CByteBufferMpint,
    testing::Values(MpintCase{"Zero", "0", {0, 0, 0, 0}},
                    MpintCase{"Small", "7F", {0, 0, 0, 1, 0x7F}},
                    MpintCase{"TopBitSet", "80", {0, 0, 0, 2, 0x00, 0x80}},
                    MpintCase{"MinusOne", "-1", {0, 0, 0, 1, 0xFF}},
                    MpintCase{"Minus81", "-81", {0, 0, 0, 2, 0xFF, 0x7F}},
                    MpintCase{"Rfc", "9A378F9B2E332A7", {0, 0, 0, 8, 0x09, 0xA3, 0x78, 0xF9, 0xB2, 0xE3, 0x32, 0xA7}},
                    MpintCase{"MinusRfc", "-DEADBEEF", {0, 0, 0, 5, 0xFF, 0x21, 0x52, 0x41, 0x11}},
                    MpintCase{"MinusPowerKeepsRedundantFF", "-80", {0, 0, 0, 2, 0xFF, 0x80}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CByteBufferMpintRead, ReadsUnsignedAndRoundTripsPositives) {
    CByteBuffer b;
    Fill(b, {0, 0, 0, 1, 0xFF});
    BnPtr x(BN_new());
    EXPECT_EQ(b.GetMpint(x.get()), 1u);
    EXPECT_EQ(BN_get_word(x.get()), 255u);

    for (const char* hex : {"1", "80", "FFFF", "123456789ABCDEF0123456789ABCDEF"}) {
        auto v = FromHex(hex);
        CByteBuffer round;
        round.PutMpint(v.get());
        BnPtr back(BN_new());
        EXPECT_GT(round.GetMpint(back.get()), 0u) << hex;
        EXPECT_EQ(BN_cmp(v.get(), back.get()), 0) << hex;
    }

    CByteBuffer truncated;
    Fill(truncated, {0, 0, 0, 4, 1, 2});
    EXPECT_EQ(truncated.GetMpint(x.get()), 0u);
}

TEST(CByteBufferSsh1Bignum, ReadsBitCountThenMagnitude) {
    BnPtr x(BN_new());
    CByteBuffer b;
    Fill(b, {0x00, 0x09, 0x01, 0xFF, 0xAA});
    EXPECT_EQ(b.GetSsh1Bignum(x.get()), 4u);
    EXPECT_EQ(BN_get_word(x.get()), 0x1FFu);
    EXPECT_EQ(b.Length(), 1u);

    CByteBuffer shortBytes;
    Fill(shortBytes, {0x00, 0x11, 0x01, 0x02});  // 17 bits need 3 bytes
    EXPECT_EQ(shortBytes.GetSsh1Bignum(x.get()), 0u);
    EXPECT_EQ(shortBytes.Length(), 2u);  // the count stays consumed
}

TEST(CByteBufferGetLine, CutsLinesAndLeavesPartialOnes) {
    CByteBuffer b;
    std::string text = "SSH-2.0-x\r\nrest";
    b.Append(text.data(), uint32_t(text.size()));
    char* line = b.GetLine();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "SSH-2.0-x");
    EXPECT_EQ(b.Length(), 4u);
    EXPECT_EQ(b.GetLine(), nullptr);
    EXPECT_EQ(b.Length(), 4u);

    CByteBuffer lone;
    lone.PutByte('\n');
    line = lone.GetLine();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "");

    CByteBuffer bare;
    std::string lf = "a\nb\n";
    bare.Append(lf.data(), 4);
    EXPECT_STREQ(bare.GetLine(), "a");
    EXPECT_STREQ(bare.GetLine(), "b");
    EXPECT_EQ(bare.GetLine(), nullptr);
}

TEST(CByteBufferEncoders, WriteBigEndianAndStrings) {
    CByteBuffer b;
    b.PutByte(1);
    b.PutBool(true);
    b.PutUint32(0x01020304);
    b.PutUint64(0x0A0B0C0D0E0F1011ull);
    b.PutCString("ab");
    b.PutCString(nullptr);
    EXPECT_EQ(Contents(b), (Bytes{1, 1, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0, 0, 0, 2, 'a',
                                  'b', 0, 0, 0, 0}));
    EXPECT_EQ(b.GetByte(), 1);
    EXPECT_EQ(b.GetByte(), 1);
    EXPECT_EQ(b.GetUint32(), 0x01020304u);
    EXPECT_EQ(b.GetUint64(), 0x0A0B0C0D0E0F1011ull);
}
