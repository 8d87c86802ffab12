// Text fields of the device's fixed-size records, in and out. Internal to the item tree
// (device and box items).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/charset.h"
#include "platform/cstring.h"

namespace vesk::device {

// A device text field as a wide string, read within the field even when the device
// filled it to the last byte.
template <std::size_t N>
CString FieldText(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n])
        ++n;
    return CString(vesk::Utf8ToWide(std::string_view(field, n)));
}

// A name into a UTF-8 field of the device: whole characters only, and the terminating
// zero always fits.
template <std::size_t N>
void PutName(char (&field)[N], const CString& name) {
    _QChar_UnicodeToUtf8(name.GetString(), field, static_cast<int>(N) - 1);
}

// The box's single-byte texts keep the low byte of each character, as devices take
// them; the terminating zero always fits.
template <std::size_t N>
void PutLowBytes(char (&field)[N], const CString& text) {
    const std::wstring& s = text.str();
    for (std::size_t i = 0; i < s.size() && i + 1 < N; ++i)
        field[i] = static_cast<char>(static_cast<unsigned char>(s[i] & 0xff));
}

}  // namespace vesk::device
