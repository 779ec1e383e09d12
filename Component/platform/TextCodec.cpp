#include "platform/TextCodec.h"

#include <cstdint>

namespace velunor::platform {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::string Utf16ToUtf8(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t u = wide[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
                char32_t low = wide[++i];
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            } else {
                AppendUtf8(out, kReplacement);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view narrow) {
    std::u16string out;
    out.reserve(narrow.size());
    const auto* s = reinterpret_cast<const uint8_t*>(narrow.data());
    size_t n = narrow.size();
    size_t i = 0;
    while (i < n) {
        uint8_t b = s[i];
        if (b < 0x80) {
            out.push_back(char16_t(b));
            ++i;
            continue;
        }
        size_t len;
        char32_t cp, min;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(char16_t(kReplacement));
            ++i;
            continue;
        }
        // A maximal valid prefix counts as one bad sequence, as decoders commonly do.
        size_t j = 1;
        for (; j < len && i + j < n && (s[i + j] & 0xC0) == 0x80; ++j) {
            char32_t next = (cp << 6) | (s[i + j] & 0x3F);
            // Overlong, surrogate and out-of-range forms are rejected at the second byte.
            if (j == 1 && ((len == 3 && b == 0xE0 && s[i + 1] < 0xA0) ||
                           (len == 3 && b == 0xED && s[i + 1] >= 0xA0) ||
                           (len == 4 && b == 0xF0 && s[i + 1] < 0x90) ||
                           (len == 4 && b == 0xF4 && s[i + 1] >= 0x90)))
                break;
            cp = next;
        }
        if (j < len || cp < min) {
            out.push_back(char16_t(kReplacement));
            i += (j == 0 ? 1 : j);
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += len;
    }
    return out;
}

}  // namespace velunor::platform
