#include <gtest/gtest.h>

#include "support/HostClient.h"
#include "support/SshdServer.h"
#include "support/TestAccount.h"

using namespace velunor::test;

TEST(ConnectSshd, PasswordLoginReachesIdle) {
    ASSERT_TRUE(TestAccount::Ensure());
    SshdServer sshd;
    ASSERT_TRUE(sshd.Start());
    HostClient host;
    host.SetLogin(TestAccount::kUser, TestAccount::kPassword);
    int32_t rc = host.Connect(sshd.Port());
    EXPECT_EQ(rc, 0) << sshd.Describe();
    EXPECT_EQ(host.State(), 3);
    for (auto& e : host.events) printf("%s %d %s\n", e.name.c_str(), e.code, e.text.c_str());
}
