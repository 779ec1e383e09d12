#include "base/CWideString.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/Ole.h"
#include "platform/TextCodec.h"

namespace velunor {

namespace {
const char kSharedEmpty[1] = {0};
}

CWideString::CWideString(const OLECHAR* wideText) : text(SysAllocString(wideText)) {}

CWideString CWideString::FromBstr(BSTR field) {
    CWideString s;
    s.text = SysAllocStringLen(field, SysStringLen(field));
    return s;
}

CWideString::CWideString(const char* narrowText) {
    if (narrowText != nullptr) text = platform::AllocBstrFromUtf8(narrowText);
}

CWideString CWideString::FromUtf8(std::string_view narrow) {
    CWideString s;
    s.text = platform::AllocBstrFromUtf8(narrow);
    return s;
}

CWideString::~CWideString() { Reset(); }

CWideString::CWideString(const CWideString& other)
    : text(other.text ? SysAllocStringLen(other.text, SysStringLen(other.text)) : nullptr) {}

CWideString& CWideString::operator=(const CWideString& other) {
    if (text != other.text) {
        BSTR copy = other.text ? SysAllocStringLen(other.text, SysStringLen(other.text)) : nullptr;
        SysFreeString(text);
        text = copy;
    }
    DropNarrow();
    return *this;
}

CWideString::CWideString(CWideString&& other) noexcept
    : text(std::exchange(other.text, nullptr)), narrowCopy(std::exchange(other.narrowCopy, nullptr)) {}

CWideString& CWideString::operator=(CWideString&& other) noexcept {
    if (this != &other) {
        Reset();
        text = std::exchange(other.text, nullptr);
        narrowCopy = std::exchange(other.narrowCopy, nullptr);
    }
    return *this;
}

uint32_t CWideString::Length() const { return SysStringLen(text); }

std::u16string_view CWideString::View() const { return platform::BstrView(text); }

void CWideString::AssignUpToNul(BSTR value) {
    BSTR copy = SysAllocString(value);
    SysFreeString(text);
    text = copy;
    DropNarrow();
}

void CWideString::Reset() {
    DropNarrow();
    SysFreeString(text);
    text = nullptr;
}

void CWideString::DropNarrow() {
    std::free(narrowCopy);
    narrowCopy = nullptr;
}

const char* CWideString::Narrow() {
    DropNarrow();
    std::string narrow = ToUtf8();
    if (narrow.empty()) return kSharedEmpty;
    narrowCopy = static_cast<char*>(std::malloc(narrow.size() + 1));
    if (narrowCopy == nullptr) return kSharedEmpty;
    std::memcpy(narrowCopy, narrow.data(), narrow.size());
    narrowCopy[narrow.size()] = 0;
    return narrowCopy;
}

std::string CWideString::ToUtf8() const { return platform::Utf16ToUtf8(View()); }

BSTR CWideString::Copy() const { return SysAllocStringLen(text, SysStringLen(text)); }

BSTR CWideString::ToWide(const char* narrow) {
    if (narrow == nullptr) return nullptr;
    return platform::AllocBstrFromUtf8(narrow);
}

HRESULT CWideString::AppendWide(BSTR* variable, const OLECHAR* units, uint32_t count) {
    uint32_t pos = SysStringLen(*variable);
    if (uint64_t(pos) + count > 0x3FFFFFF0) return E_OUTOFMEMORY;
    BSTR joined = SysAllocStringLen(nullptr, pos + count);
    if (joined == nullptr) return E_OUTOFMEMORY;
    if (pos > 0) std::memcpy(joined, *variable, size_t(pos) * 2);
    if (count > 0) std::memcpy(joined + pos, units, size_t(count) * 2);
    joined[pos + count] = 0;
    SysFreeString(*variable);
    *variable = joined;
    return S_OK;
}

}  // namespace velunor
