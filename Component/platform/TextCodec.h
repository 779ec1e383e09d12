#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velunor::platform {

// The narrow code page of this port is UTF-8. These are the conversions between it and UTF-16.
// Unpaired surrogates become U+FFFD; each invalid UTF-8 sequence becomes one U+FFFD.
std::string Utf16ToUtf8(std::u16string_view wide);
std::u16string Utf8ToUtf16(std::string_view narrow);

}  // namespace velunor::platform
