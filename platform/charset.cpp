// Bounded UTF-8 <-> wide conversions.
#include "platform/charset.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Reads one code point from a wide string; on a UTF-16 platform joins surrogate
// pairs, on UTF-32 Linux a lone surrogate value is replaced.
char32_t NextWide(std::wstring_view s, size_t& i) {
    char32_t c = static_cast<char32_t>(s[i++]);
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (i < s.size()) {
            char32_t d = static_cast<char32_t>(s[i]);
            if (d >= 0xDC00 && d <= 0xDFFF) {
                ++i;
                return 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
            }
        }
        return kReplacement;
    }
    if (c >= 0xDC00 && c <= 0xDFFF)
        return kReplacement;
    if (c > 0x10FFFF)
        return kReplacement;
    return c;
}

int EncodeUtf8(char32_t c, char out[4]) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Decodes one UTF-8 sequence; rejects overlong forms, surrogates and values past
// U+10FFFF. A bad lead byte consumes one byte; a cut or invalid sequence consumes
// the bytes that belonged to it, so each yields a single replacement.
char32_t NextUtf8(std::string_view s, size_t& i) {
    const auto b0 = static_cast<uint8_t>(s[i++]);
    if (b0 < 0x80)
        return b0;
    int extra;
    char32_t c;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, min = 0x10000;
    } else {
        return kReplacement;
    }
    size_t j = i;
    for (int k = 0; k < extra; ++k, ++j) {
        if (j >= s.size() || (static_cast<uint8_t>(s[j]) & 0xC0) != 0x80) {
            i = j;
            return kReplacement;
        }
        c = (c << 6) | (static_cast<uint8_t>(s[j]) & 0x3F);
    }
    i = j;
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kReplacement;
    return c;
}

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

}  // namespace

int _QChar_UnicodeToUtf8(const wchar_t* src, char* dst, int dstBytes) {
    if (!src || !dst || dstBytes <= 0)
        return 0;
    std::wstring_view s(src);
    int written = 0;
    for (size_t i = 0; i < s.size();) {
        char buf[4];
        int n = EncodeUtf8(NextWide(s, i), buf);
        if (written + n > dstBytes)
            break;
        for (int k = 0; k < n; ++k)
            dst[written++] = buf[k];
    }
    if (written < dstBytes)
        dst[written] = '\0';
    return written;
}

int _QChar_Utf8ToUnicode(const char* src, wchar_t* dst, int dstChars) {
    if (!dst || dstChars <= 0)
        return 0;
    dst[0] = L'\0';
    if (!src)
        return 0;
    std::wstring w = vesk::Utf8ToWide(src);
    // Never end on the first half of a surrogate pair (UTF-16 platforms).
    std::wstring cut = w.size() < static_cast<size_t>(dstChars) ? w : w.substr(0, dstChars - 1);
    if constexpr (sizeof(wchar_t) == 2) {
        if (!cut.empty() && cut.back() >= 0xD800 && cut.back() <= 0xDBFF)
            cut.pop_back();
    }
    cut.copy(dst, cut.size());
    dst[cut.size()] = L'\0';
    return static_cast<int>(cut.size());
}

namespace vesk {

std::string WideToUtf8(std::wstring_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char buf[4];
        int n = EncodeUtf8(NextWide(s, i), buf);
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();)
        AppendWide(out, NextUtf8(s, i));
    return out;
}

size_t Utf16Length(std::wstring_view s) {
    if constexpr (sizeof(wchar_t) == 2) {
        return s.size();
    } else {
        size_t n = 0;
        for (wchar_t c : s)
            n += (static_cast<uint32_t>(c) >> 16) != 0 ? 2 : 1;
        return n;
    }
}

std::wstring Utf16Left(std::wstring_view s, size_t n) {
    size_t units = 0;
    size_t i = 0;
    for (; i < s.size(); ++i) {
        auto c = static_cast<char32_t>(s[i]);
        size_t w = 1;
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size())
                w = 2;
        } else {
            if (c >= 0x10000)
                w = 2;
        }
        if (units + w > n)
            break;
        units += w;
        if constexpr (sizeof(wchar_t) == 2)
            i += w - 1;
    }
    return std::wstring(s.substr(0, i));
}

}  // namespace vesk
