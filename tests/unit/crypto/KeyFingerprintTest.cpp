#include "crypto/KeyFingerprint.h"

#include <gtest/gtest.h>

#include "unit/crypto/TestKeys.h"

namespace velunor {
namespace {

class KeyFingerprintOfHostKey : public ::testing::TestWithParam<const char*> {};

TEST_P(KeyFingerprintOfHostKey, EqualsSshKeygenMd5) {
    const std::string pub = test::TestKeys::Get().Key(GetParam()).path + ".pub";
    std::vector<uint8_t> blob = test::PublicBlobFromFile(pub);
    ASSERT_FALSE(blob.empty());
    std::string expected = test::SshKeygenMd5Fingerprint(pub);
    ASSERT_EQ(expected.size(), 47u);
    EXPECT_EQ(KeyFingerprint(blob.data(), uint32_t(blob.size())), expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyFingerprintOfHostKey, ::testing::Values("rsa2048", "dsa1024"),
                         [](const auto& info) { return std::string(info.param); });

TEST(KeyFingerprint, EmptyBlobIsTheDigestOfNoBytes) {
    EXPECT_EQ(KeyFingerprint(nullptr, 0), "d4:1d:8c:d9:8f:00:b2:04:e9:80:09:98:ec:f8:42:7e");
    const uint8_t byte = 0;
    EXPECT_EQ(KeyFingerprint(&byte, 0), "d4:1d:8c:d9:8f:00:b2:04:e9:80:09:98:ec:f8:42:7e");
}

}  // namespace
}  // namespace velunor
