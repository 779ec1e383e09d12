#include <gtest/gtest.h>
#include "base/CByteBuffer.h"
TEST(CByteBuffer, Builds) { velunor::CByteBuffer b; EXPECT_EQ(b.Length(), 0u); }
