#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velunor/sftp.h"

namespace velunor {

// One owned wide string with BSTR rules (UTF-16, length-prefixed, null equal to empty) and a
// cached narrow (UTF-8) copy made on demand.
class CWideString {
public:
    CWideString() = default;
    // A copy up to the first NUL.
    explicit CWideString(const OLECHAR* wideText);
    // A copy of the full length, embedded NULs kept; a null source gives an empty, non-null string.
    static CWideString FromBstr(BSTR field);
    // The UTF-16 form of a narrow text (up to its NUL); null is empty.
    explicit CWideString(const char* narrowText);
    static CWideString FromUtf8(std::string_view narrow);
    virtual ~CWideString();

    CWideString(const CWideString& other);
    CWideString& operator=(const CWideString& other);
    CWideString(CWideString&& other) noexcept;
    CWideString& operator=(CWideString&& other) noexcept;

    BSTR Get() const { return text; }
    uint32_t Length() const;
    bool Empty() const { return Length() == 0; }
    std::u16string_view View() const;
    // Replaces the value with a copy of a host BSTR up to its first NUL (a property put).
    void AssignUpToNul(BSTR value);
    void Reset();

    // The narrow form of the whole value, embedded NULs included. Valid until the next Narrow
    // call on this object or its destruction; an empty value gives a shared "" not owned here.
    const char* Narrow();
    // The narrow form as a string, without touching the cache.
    std::string ToUtf8() const;
    // A fresh BSTR copy of the stored length for the host; an unset value gives a new empty
    // string, never null (null only when out of memory).
    BSTR Copy() const;

    // The wide form of a whole NUL-terminated narrow text; the caller frees it. Null for null.
    static BSTR ToWide(const char* narrow);
    // Appends count units to *variable, replacing it; 0, or E_OUTOFMEMORY with *variable kept.
    static HRESULT AppendWide(BSTR* variable, const OLECHAR* units, uint32_t count);

private:
    void DropNarrow();

    BSTR text = nullptr;
    char* narrowCopy = nullptr;
};

}  // namespace velunor
