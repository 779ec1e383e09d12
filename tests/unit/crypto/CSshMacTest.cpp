#include "crypto/CSshMac.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace velunor {
namespace {

struct MacCase {
    const char* sshName;
    bool legacyServer;
    bool known;
    const char* name;
    const EVP_MD* (*digest)();
    int macLength;
    int keyLength;
};

const EVP_MD* NoDigest() { return nullptr; }

const MacCase kMacCases[] = {
    {"hmac-sha1", false, true, "hmac-sha1", EVP_sha1, 20, 20},
    {"hmac-sha1", true, true, "hmac-sha1", EVP_sha1, 20, 16},
    {"hmac-md5", false, true, "hmac-md5", EVP_md5, 16, 16},
    {"hmac-md5", true, true, "hmac-md5", EVP_md5, 16, 16},
    {"none", false, true, "", NoDigest, 0, 0},
    {"hmac-sha2-256", false, false, "", NoDigest, 0, 0},
    {"HMAC-SHA1", false, false, "", NoDigest, 0, 0},
};

void PrintTo(const MacCase& c, std::ostream* os) { *os << c.sshName; }

class MacRecord : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacRecord, CreateFillsTheRow) {
    const MacCase& c = GetParam();
    bool ok = !c.known;
    CSshMac mac = CSshMac::Create(c.sshName, c.legacyServer, &ok);
    EXPECT_EQ(ok, c.known);
    EXPECT_STREQ(mac.name, c.name);
    EXPECT_EQ(mac.digest, c.digest());
    EXPECT_EQ(mac.macLength, c.macLength);
    EXPECT_EQ(mac.keyLength, c.keyLength);
    EXPECT_EQ(mac.key, nullptr);
    EXPECT_EQ(mac.Usable(), c.macLength == 0);
}

TEST_P(MacRecord, TakeKeyCopiesKeyLengthBytesIntoAFreshBlock) {
    const MacCase& c = GetParam();
    CSshMac mac = CSshMac::Create(c.sshName, c.legacyServer);
    std::vector<unsigned char> material(64);
    for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<unsigned char>(0xA0 + i);
    mac.TakeKey(material.data());
    ASSERT_NE(mac.key, nullptr);
    EXPECT_TRUE(mac.Usable());
    EXPECT_EQ(std::memcmp(mac.key, material.data(), size_t(c.keyLength)), 0);
    for (int i = c.keyLength; i < 48; ++i) EXPECT_EQ(mac.key[i], 0) << "byte " << i;

    std::vector<unsigned char> newer(64, 0x11);
    mac.TakeKey(newer.data());
    ASSERT_NE(mac.key, nullptr);
    EXPECT_EQ(std::memcmp(mac.key, newer.data(), size_t(c.keyLength)), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, MacRecord, ::testing::ValuesIn(kMacCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.sshName; *p; ++p) name.push_back(std::isalnum(uint8_t(*p)) ? *p : '_');
    return name + (info.param.legacyServer ? "_legacy" : "") + "_" + std::to_string(info.index);
});

TEST(CSshMacMove, TransfersTheKeyAndLeavesTheSourceEmpty) {
    unsigned char material[48] = {1, 2, 3};
    CSshMac source = CSshMac::Create("hmac-md5", false);
    source.TakeKey(material);
    unsigned char* block = source.key;
    CSshMac moved(std::move(source));
    EXPECT_EQ(moved.key, block);
    EXPECT_EQ(source.key, nullptr);

    CSshMac assigned = CSshMac::Create("hmac-sha1", false);
    assigned.TakeKey(material);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.key, block);
    EXPECT_EQ(assigned.macLength, 16);
    EXPECT_EQ(moved.key, nullptr);
}

}  // namespace
}  // namespace velunor
