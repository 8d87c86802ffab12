// UTF-8 <-> wide conversions with explicit bounds. Devices take names as UTF-8 in
// fixed-size fields, so a conversion must never cut a character in half.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/export.h"

// Converts src (zero-terminated) to UTF-8 into dst, writing at most dstBytes bytes.
// Only whole characters are written; a terminating zero follows when room remains.
// Returns the number of bytes written, not counting the terminator. Null arguments
// or a non-positive size give 0. Unpaired surrogates become U+FFFD.
VESK_API int _QChar_UnicodeToUtf8(const wchar_t* src, char* dst, int dstBytes);

// Converts zero-terminated UTF-8 src into dst, writing at most dstChars - 1
// characters and always a terminating zero (when dstChars > 0). Malformed
// sequences become U+FFFD. Returns the number of wide characters written.
VESK_API int _QChar_Utf8ToUnicode(const char* src, wchar_t* dst, int dstChars);

namespace vesk {

// Unbounded conversions for internal use (paths, logs, XML).
VESK_API std::string WideToUtf8(std::wstring_view s);
VESK_API std::wstring Utf8ToWide(std::string_view s);

// Length of s in UTF-16 code units: characters outside the Basic Multilingual
// Plane count twice, as they do in the wide strings of a Windows build.
VESK_API size_t Utf16Length(std::wstring_view s);

// The first n UTF-16 units of s, never splitting a surrogate pair (a character
// that would straddle the cut is left out).
VESK_API std::wstring Utf16Left(std::wstring_view s, size_t n);

}  // namespace vesk
