#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/Ole.h"

using velunor::platform::AllocBstrFromUtf8;

namespace {

struct ChangeCase {
    const char* name;
    VARIANT source;
    HRESULT result;
    int32_t value;
};

VARIANT Make(uint16_t vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}
VARIANT I2(int16_t x) { auto v = Make(VT_I2); v.u.iVal = x; return v; }
VARIANT UI4(uint32_t x) { auto v = Make(VT_UI4); v.u.ulVal = x; return v; }
VARIANT I8(int64_t x) { auto v = Make(VT_I8); v.u.llVal = x; return v; }
VARIANT R8(double x) { auto v = Make(VT_R8); v.u.dblVal = x; return v; }
VARIANT Date(double x) { auto v = Make(VT_DATE); v.u.date = x; return v; }
VARIANT Bool(bool x) { auto v = Make(VT_BOOL); v.u.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; return v; }

// Text sources are built per test (BSTRs need freeing), the rest come from the table.
class VariantChangeTypeToI4 : public testing::TestWithParam<ChangeCase> {};

TEST_P(VariantChangeTypeToI4, ConvertsOrRefuses) {
    const auto& c = GetParam();
    VARIANT out = Make(VT_EMPTY);
    EXPECT_EQ(VariantChangeType(&out, &c.source, 0, VT_I4), c.result);
    if (c.result == S_OK) {
        EXPECT_EQ(out.vt, VT_I4);
        EXPECT_EQ(out.u.lVal, c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VariantChangeTypeToI4,
    testing::Values(ChangeCase{"Empty", Make(VT_EMPTY), S_OK, 0},
                    ChangeCase{"I2", I2(-5), S_OK, -5},
                    ChangeCase{"UI4InRange", UI4(2147483647u), S_OK, 2147483647},
                    ChangeCase{"UI4Overflow", UI4(2147483648u), DISP_E_OVERFLOW, 0},
                    ChangeCase{"I8Overflow", I8(-2147483649LL), DISP_E_OVERFLOW, 0},
                    ChangeCase{"R8HalfToEvenDown", R8(2.5), S_OK, 2},
                    ChangeCase{"R8HalfToEvenUp", R8(3.5), S_OK, 4},
                    ChangeCase{"R8NegativeHalf", R8(-2.5), S_OK, -2},
                    ChangeCase{"R8Overflow", R8(2147483647.6), DISP_E_OVERFLOW, 0},
                    ChangeCase{"R8NaN", R8(std::nan("")), DISP_E_OVERFLOW, 0},
                    ChangeCase{"Date", Date(45000.5), S_OK, 45000},
                    ChangeCase{"BoolTrue", Bool(true), S_OK, -1},
                    ChangeCase{"Error", Make(VT_ERROR), DISP_E_TYPEMISMATCH, 0},
                    ChangeCase{"Null", Make(VT_NULL), DISP_E_TYPEMISMATCH, 0},
                    ChangeCase{"Unknown", Make(VT_UNKNOWN), DISP_E_TYPEMISMATCH, 0},
                    ChangeCase{"NullByref", Make(VT_I4 | VT_BYREF), DISP_E_TYPEMISMATCH, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
    const char* text;
    HRESULT result;
    int32_t value;
};

TEST(VariantChangeTypeText, ParsesDecimalWithBlanksAndSign) {
    const TextCase cases[] = {
        {"42", S_OK, 42},         {"  -17 ", S_OK, -17},       {"+8", S_OK, 8},
        {"2147483647", S_OK, 2147483647}, {"-2147483648", S_OK, INT32_MIN},
        {"2147483648", DISP_E_OVERFLOW, 0}, {"99999999999999999999", DISP_E_OVERFLOW, 0},
        {"abc", DISP_E_TYPEMISMATCH, 0}, {"", DISP_E_TYPEMISMATCH, 0}, {"4 2", DISP_E_TYPEMISMATCH, 0},
        {"-", DISP_E_TYPEMISMATCH, 0}, {"1.5", DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : cases) {
        VARIANT src = Make(VT_BSTR);
        src.u.bstrVal = AllocBstrFromUtf8(c.text);
        VARIANT out = Make(VT_EMPTY);
        EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), c.result) << c.text;
        if (c.result == S_OK) {
            EXPECT_EQ(out.u.lVal, c.value) << c.text;
        }
        // Through a reference the same text converts the same way.
        VARIANT ref = Make(VT_BSTR | VT_BYREF);
        ref.u.pbstrVal = &src.u.bstrVal;
        EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), c.result) << c.text;
        VariantClear(&src);
    }
    VARIANT nullText = Make(VT_BSTR);
    VARIANT out = Make(VT_EMPTY);
    EXPECT_EQ(VariantChangeType(&out, &nullText, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(nullptr, &nullText, 0, VT_I4), E_INVALIDARG);
}

TEST(OleStrings, LengthsAndNulls) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR b = SysAllocString(u"abc");
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(b)[-1], 6u);
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFF), nullptr);  // refused, not wrapped around
}

TEST(OleVariants, CopyIsDeepAndClearFrees) {
    VARIANT src = Make(VT_BSTR);
    src.u.bstrVal = SysAllocString(u"text");
    VARIANT dst = Make(VT_EMPTY);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.u.bstrVal, src.u.bstrVal);
    EXPECT_EQ(std::u16string(dst.u.bstrVal), u"text");
    VariantClear(&src);
    VariantClear(&dst);
    EXPECT_EQ(dst.vt, VT_EMPTY);

    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_NE(a, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    static_cast<uint8_t*>(data)[3] = 7;
    SafeArrayUnaccessData(a);
    VARIANT arr = Make(VT_ARRAY | VT_UI1);
    arr.u.parray = a;
    VARIANT copy = Make(VT_EMPTY);
    ASSERT_EQ(VariantCopy(&copy, &arr), S_OK);
    EXPECT_NE(copy.u.parray, a);
    EXPECT_EQ(static_cast<uint8_t*>(copy.u.parray->pvData)[3], 7);
    VariantClear(&arr);
    VariantClear(&copy);
}

TEST(OleDates, SystemTimeRoundTripsAndKnownValues) {
    struct DateCase {
        SYSTEMTIME st;
        double date;
    };
    const DateCase cases[] = {
        {{1899, 12, 6, 30, 0, 0, 0, 0}, 0.0},
        {{1900, 1, 1, 1, 0, 0, 0, 0}, 2.0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 25569.0},
        {{2000, 2, 2, 29, 12, 0, 0, 0}, 36585.5},
        {{1899, 12, 5, 29, 6, 0, 0, 0}, -1.25},
        {{9999, 12, 5, 31, 0, 0, 0, 0}, 2958465.0},
    };
    for (const auto& c : cases) {
        double d = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&c.st, &d));
        EXPECT_DOUBLE_EQ(d, c.date);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &back));
        EXPECT_EQ(back.wYear, c.st.wYear);
        EXPECT_EQ(back.wMonth, c.st.wMonth);
        EXPECT_EQ(back.wDay, c.st.wDay);
        EXPECT_EQ(back.wHour, c.st.wHour);
        EXPECT_EQ(back.wDayOfWeek, c.st.wDayOfWeek);
    }
    SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
    double d = 0;
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
    SYSTEMTIME out{};
    EXPECT_FALSE(VariantTimeToSystemTime(3e6, &out));
}

}  // namespace
