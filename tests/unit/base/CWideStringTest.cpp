#include "base/CWideString.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/TextCodec.h"

using velunor::CWideString;
using velunor::platform::Utf16ToUtf8;
using velunor::platform::Utf8ToUtf16;

TEST(CWideString, NarrowOfEmptyIsSharedAndNotOwned) {
    CWideString unset;
    const char* a = unset.Narrow();
    EXPECT_STREQ(a, "");
    CWideString empty = CWideString::FromBstr(nullptr);
    EXPECT_NE(empty.Get(), nullptr);  // a null source gives an empty, non-null string
    EXPECT_EQ(empty.Narrow(), a);
}

TEST(CWideString, EmbeddedNulSurvivesFieldCopiesButNotWideTextCopies) {
    const char16_t units[] = {u'a', 0, u'b'};
    BSTR field = SysAllocStringLen(units, 3);
    CWideString full = CWideString::FromBstr(field);
    EXPECT_EQ(full.Length(), 3u);
    CWideString assigned;
    assigned = full;
    EXPECT_EQ(assigned.Length(), 3u);
    const char* narrow = assigned.Narrow();
    EXPECT_EQ(std::string(narrow, 3), std::string("a\0b", 3));
    CWideString cut(field);  // a wide text ends at its first NUL
    EXPECT_EQ(cut.Length(), 1u);
    CWideString put;
    put.AssignUpToNul(field);
    EXPECT_EQ(put.Length(), 1u);
    SysFreeString(field);
}

TEST(CWideString, NarrowTwiceReplacesTheCopy) {
    CWideString s("h\xC3\xA9llo");
    EXPECT_EQ(s.Length(), 5u);
    std::string first = s.Narrow();
    const char* second = s.Narrow();
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, "h\xC3\xA9llo");
}

TEST(CWideString, AppendWide) {
    BSTR v = nullptr;
    EXPECT_EQ(CWideString::AppendWide(&v, u"abc", 3), 0);
    EXPECT_EQ(SysStringLen(v), 3u);
    EXPECT_EQ(CWideString::AppendWide(&v, u"de", 2), 0);
    EXPECT_EQ(std::u16string(v, SysStringLen(v)), u"abcde");
    EXPECT_EQ(v[5], 0);
    SysFreeString(v);
    EXPECT_EQ(CWideString::ToWide(nullptr), nullptr);
}

struct CodecCase {
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

class TextCodecFromUtf8 : public testing::TestWithParam<CodecCase> {};

TEST_P(TextCodecFromUtf8, ReplacesEachBadSequence) {
    EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextCodecFromUtf8,
    testing::Values(CodecCase{"Ascii", "abc", u"abc"},
                    CodecCase{"TwoAndThreeBytes", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
                    CodecCase{"Astral", "\xF0\x9F\x98\x80", u"\U0001F600"},
                    CodecCase{"EmbeddedNul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
                    CodecCase{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
                    CodecCase{"Truncated", "a\xE2\x82", u"a\uFFFD"},
                    CodecCase{"Overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                    CodecCase{"Surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                    CodecCase{"BeyondUnicode", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextCodecToUtf8, UnpairedSurrogatesBecomeReplacement) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}
