#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/CivilDate.h"
#include "platform/Ole.h"
#include "platform/TextCodec.h"

// BSTR storage: an 8-byte header whose second half is the byte length, then the units and a
// 16-bit NUL. The BSTR points at the first unit, so the length sits at ((uint32_t*)bstr)[-1].
namespace {

constexpr uint32_t kMaxBstrUnits = 0x3FFFFFF0;  // keeps the byte length within uint32

struct SafeArrayBlock {
    uint32_t vt;
    uint32_t reserved;
    SAFEARRAY array;
};

constexpr uint16_t kFeatureHaveVarType = 0x0080;

uint32_t ElementSize(uint16_t vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

SafeArrayBlock* BlockOf(SAFEARRAY* a) {
    return reinterpret_cast<SafeArrayBlock*>(reinterpret_cast<char*>(a) - offsetof(SafeArrayBlock, array));
}

}  // namespace

extern "C" {

VELUNOR_API BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    if (length > kMaxBstrUnits) return nullptr;
    size_t bytes = 8 + size_t(length) * 2 + 2;
    auto* block = static_cast<uint8_t*>(std::malloc(bytes));
    if (block == nullptr) return nullptr;
    uint32_t byteLength = length * 2;
    std::memcpy(block + 4, &byteLength, 4);
    auto* units = reinterpret_cast<OLECHAR*>(block + 8);
    if (text != nullptr)
        std::memcpy(units, text, size_t(length) * 2);
    else
        std::memset(units, 0, size_t(length) * 2);
    units[length] = 0;
    return units;
}

VELUNOR_API BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    uint32_t n = 0;
    while (text[n] != 0 && n <= kMaxBstrUnits) ++n;
    return SysAllocStringLen(text, n);
}

VELUNOR_API uint32_t SysStringByteLen(BSTR text) {
    if (text == nullptr) return 0;
    uint32_t n;
    std::memcpy(&n, reinterpret_cast<uint8_t*>(text) - 4, 4);
    return n;
}

VELUNOR_API uint32_t SysStringLen(BSTR text) { return SysStringByteLen(text) / 2; }

VELUNOR_API void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(reinterpret_cast<uint8_t*>(text) - 8);
}

VELUNOR_API SAFEARRAY* SafeArrayCreateVector(uint16_t vt, int32_t lowerBound, uint32_t count) {
    uint32_t size = ElementSize(vt);
    if (size == 0) return nullptr;
    if (count > std::numeric_limits<uint32_t>::max() / size) return nullptr;
    auto* block = static_cast<SafeArrayBlock*>(std::calloc(1, sizeof(SafeArrayBlock)));
    if (block == nullptr) return nullptr;
    void* data = std::calloc(count == 0 ? 1 : count, size);
    if (data == nullptr) {
        std::free(block);
        return nullptr;
    }
    block->vt = vt;
    SAFEARRAY* a = &block->array;
    a->cDims = 1;
    a->fFeatures = kFeatureHaveVarType;
    a->cbElements = size;
    a->cLocks = 0;
    a->pvData = data;
    a->rgsabound[0].cElements = count;
    a->rgsabound[0].lLbound = lowerBound;
    return a;
}

VELUNOR_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

VELUNOR_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr) return E_INVALIDARG;
    if (array->cLocks == 0) return (HRESULT)0x8000FFFF;  // E_UNEXPECTED
    --array->cLocks;
    return S_OK;
}

VELUNOR_API HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) return S_OK;
    if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    SafeArrayBlock* block = BlockOf(array);
    uint32_t count = array->rgsabound[0].cElements;
    if (block->vt == VT_BSTR) {
        auto* items = static_cast<BSTR*>(array->pvData);
        for (uint32_t i = 0; i < count; ++i) SysFreeString(items[i]);
    } else if (block->vt == VT_VARIANT) {
        auto* items = static_cast<VARIANT*>(array->pvData);
        for (uint32_t i = 0; i < count; ++i) VariantClear(&items[i]);
    }
    std::free(array->pvData);
    std::free(block);
    return S_OK;
}

VELUNOR_API void VariantInit(VARIANT* v) {
    if (v == nullptr) return;
    std::memset(v, 0, sizeof(*v));
    v->vt = VT_EMPTY;
}

VELUNOR_API HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) return E_INVALIDARG;
    if ((v->vt & VT_BYREF) == 0) {
        if (v->vt & VT_ARRAY) {
            HRESULT hr = SafeArrayDestroy(v->u.parray);
            if (hr != S_OK) return hr;
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->u.bstrVal);
        }
    }
    std::memset(v, 0, sizeof(*v));
    v->vt = VT_EMPTY;
    return S_OK;
}

static SAFEARRAY* CopyArray(SAFEARRAY* src) {
    SafeArrayBlock* block = BlockOf(src);
    uint32_t count = src->rgsabound[0].cElements;
    SAFEARRAY* dst = SafeArrayCreateVector(uint16_t(block->vt), src->rgsabound[0].lLbound, count);
    if (dst == nullptr) return nullptr;
    if (block->vt == VT_BSTR) {
        auto* from = static_cast<BSTR*>(src->pvData);
        auto* to = static_cast<BSTR*>(dst->pvData);
        for (uint32_t i = 0; i < count; ++i) {
            if (from[i] == nullptr) continue;
            to[i] = SysAllocStringLen(from[i], SysStringLen(from[i]));
            if (to[i] == nullptr) {
                SafeArrayDestroy(dst);
                return nullptr;
            }
        }
    } else if (block->vt == VT_VARIANT) {
        auto* from = static_cast<VARIANT*>(src->pvData);
        auto* to = static_cast<VARIANT*>(dst->pvData);
        for (uint32_t i = 0; i < count; ++i) {
            if (VariantCopy(&to[i], &from[i]) != S_OK) {
                SafeArrayDestroy(dst);
                return nullptr;
            }
        }
    } else if (count > 0) {
        std::memcpy(dst->pvData, src->pvData, size_t(count) * src->cbElements);
    }
    return dst;
}

VELUNOR_API HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) {
    if (dst == nullptr || src == nullptr) return E_INVALIDARG;
    if (dst == src) return S_OK;
    VARIANT copy = *src;
    if ((src->vt & VT_BYREF) == 0) {
        if (src->vt & VT_ARRAY) {
            if (src->u.parray != nullptr) {
                copy.u.parray = CopyArray(src->u.parray);
                if (copy.u.parray == nullptr) return E_OUTOFMEMORY;
            }
        } else if (src->vt == VT_BSTR && src->u.bstrVal != nullptr) {
            copy.u.bstrVal = SysAllocStringLen(src->u.bstrVal, SysStringLen(src->u.bstrVal));
            if (copy.u.bstrVal == nullptr) return E_OUTOFMEMORY;
        }
    }
    HRESULT hr = VariantClear(dst);
    if (hr != S_OK) {
        VariantClear(&copy);
        return hr;
    }
    *dst = copy;
    return S_OK;
}

}  // extern "C"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// Decimal text: optional blanks, an optional sign, digits, optional blanks.
HRESULT ParseI4(BSTR text, int32_t& out) {
    uint32_t n = SysStringLen(text);
    uint32_t i = 0;
    while (i < n && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    uint32_t digitsStart = i;
    int64_t value = 0;
    bool overflow = false;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        if (!overflow) {
            value = value * 10 + (text[i] - u'0');
            if (value > int64_t(1) << 32) overflow = true;
        }
        ++i;
    }
    if (i == digitsStart) return DISP_E_TYPEMISMATCH;
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return DISP_E_TYPEMISMATCH;
    if (negative) value = -value;
    if (overflow || value > INT32_MAX || value < INT32_MIN) return DISP_E_OVERFLOW;
    out = int32_t(value);
    return S_OK;
}

HRESULT FromDouble(double d, int32_t& out) {
    if (std::isnan(d)) return DISP_E_OVERFLOW;
    double r = std::nearbyint(d);  // the default rounding mode rounds half to even
    if (r < -2147483648.0 || r > 2147483647.0) return DISP_E_OVERFLOW;
    out = int32_t(r);
    return S_OK;
}

HRESULT FromInt64(int64_t v, int32_t& out) {
    if (v < INT32_MIN || v > INT32_MAX) return DISP_E_OVERFLOW;
    out = int32_t(v);
    return S_OK;
}

// The value of a variant of a listed type as a 32-bit integer; BYREF forms read through.
HRESULT ToI4(const VARIANT* src, int32_t& out, int depth) {
    uint16_t vt = src->vt;
    bool byref = (vt & VT_BYREF) != 0;
    uint16_t base = uint16_t(vt & ~VT_BYREF);
    if (vt & VT_ARRAY) return DISP_E_TYPEMISMATCH;
    if (byref && src->u.byref == nullptr) return DISP_E_TYPEMISMATCH;
    switch (base) {
        case VT_EMPTY:
            if (byref) return DISP_E_TYPEMISMATCH;
            out = 0;
            return S_OK;
        case VT_I1: out = byref ? *src->u.pcVal : src->u.cVal; return S_OK;
        case VT_UI1: out = byref ? *src->u.pbVal : src->u.bVal; return S_OK;
        case VT_I2: out = byref ? *src->u.piVal : src->u.iVal; return S_OK;
        case VT_UI2: out = byref ? *src->u.puiVal : src->u.uiVal; return S_OK;
        case VT_BOOL: out = byref ? *src->u.pboolVal : src->u.boolVal; return S_OK;
        case VT_I4:
        case VT_INT: out = byref ? *src->u.plVal : src->u.lVal; return S_OK;
        case VT_UI4:
        case VT_UINT: return FromInt64(byref ? *src->u.pulVal : src->u.ulVal, out);
        case VT_I8: return FromInt64(byref ? *src->u.pllVal : src->u.llVal, out);
        case VT_UI8: {
            uint64_t v = byref ? *src->u.pullVal : src->u.ullVal;
            if (v > uint64_t(INT32_MAX)) return DISP_E_OVERFLOW;
            out = int32_t(v);
            return S_OK;
        }
        case VT_R4: return FromDouble(byref ? *src->u.pfltVal : src->u.fltVal, out);
        case VT_R8: return FromDouble(byref ? *src->u.pdblVal : src->u.dblVal, out);
        case VT_DATE: return FromDouble(byref ? *src->u.pdate : src->u.date, out);
        case VT_BSTR: return ParseI4(byref ? *src->u.pbstrVal : src->u.bstrVal, out);
        case VT_VARIANT:
            if (!byref || depth > 0) return DISP_E_TYPEMISMATCH;
            return ToI4(src->u.pvarVal, out, depth + 1);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

extern "C" VELUNOR_API HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t, uint16_t vt) {
    if (dst == nullptr || src == nullptr) return E_INVALIDARG;
    if (vt == src->vt) return dst == src ? S_OK : VariantCopy(dst, src);
    if (vt != VT_I4) return DISP_E_TYPEMISMATCH;
    int32_t value = 0;
    HRESULT hr = ToI4(src, value, 0);
    if (hr != S_OK) return hr;
    VariantClear(dst);
    dst->vt = VT_I4;
    dst->u.lVal = value;
    return S_OK;
}

// ---- OLE dates: days since 1899-12-30; below 0 the fraction still counts forward in the day ----

namespace {

using velunor::platform::CivilFromDays;
using velunor::platform::DaysFromCivil;
using velunor::platform::WeekdayOfDays;

const int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);
constexpr double kMaxDate = 2958466.0;   // 10000-01-01
constexpr double kMinDate = -657434.0;   // 0100-01-01

}  // namespace

extern "C" {

VELUNOR_API int32_t SystemTimeToVariantTime(const SYSTEMTIME* t, double* date) {
    if (t == nullptr || date == nullptr) return 0;
    if (t->wYear < 100 || t->wYear > 9999 || t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 || t->wDay > 31 ||
        t->wHour > 23 || t->wMinute > 59 || t->wSecond > 59)
        return 0;
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (t->wYear % 4 == 0 && t->wYear % 100 != 0) || t->wYear % 400 == 0;
    unsigned maxDay = kDays[t->wMonth - 1] + (t->wMonth == 2 && leap ? 1 : 0);
    if (t->wDay > maxDay) return 0;
    int64_t days = DaysFromCivil(t->wYear, t->wMonth, t->wDay) - kOleEpochDays;
    double fraction = (t->wHour * 3600.0 + t->wMinute * 60.0 + t->wSecond) / 86400.0;
    *date = days >= 0 ? double(days) + fraction : double(days) - fraction;
    return 1;
}

VELUNOR_API int32_t VariantTimeToSystemTime(double date, SYSTEMTIME* t) {
    if (t == nullptr || std::isnan(date) || date >= kMaxDate || date <= kMinDate - 1.0) return 0;
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    int64_t days = int64_t(whole);
    int64_t seconds = int64_t(std::llround(fraction * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        days += date < 0 ? -1 : 1;
    }
    // A negative date's day is whole - 0 with the time running forward, so -1.25 is 1899-12-29 06:00.
    int64_t civil = days + kOleEpochDays;
    int64_t y;
    unsigned m, d;
    CivilFromDays(civil, y, m, d);
    if (y < 100 || y > 9999) return 0;
    t->wYear = uint16_t(y);
    t->wMonth = uint16_t(m);
    t->wDay = uint16_t(d);
    t->wDayOfWeek = uint16_t(WeekdayOfDays(civil));
    t->wHour = uint16_t(seconds / 3600);
    t->wMinute = uint16_t(seconds / 60 % 60);
    t->wSecond = uint16_t(seconds % 60);
    t->wMilliseconds = 0;
    return 1;
}

}  // extern "C"

namespace velunor::platform {

BSTR AllocBstr(std::u16string_view wide) {
    if (wide.size() > kMaxBstrUnits) return nullptr;
    return SysAllocStringLen(wide.data(), uint32_t(wide.size()));
}

BSTR AllocBstrFromUtf8(std::string_view narrow) { return AllocBstr(Utf8ToUtf16(narrow)); }

std::u16string_view BstrView(BSTR text) {
    if (text == nullptr) return {};
    return {text, SysStringLen(text)};
}

VARIANT MissingVariant() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.u.scode = int32_t(0x80020004);  // DISP_E_PARAMNOTFOUND, what an omitted argument carries
    return v;
}

VARIANT BstrVariant(BSTR text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.u.bstrVal = text;
    return v;
}

}  // namespace velunor::platform
