// Buffers for passwords on their way to the device: wiped when they go, so a password
// does not linger in freed memory. Internal to the device item.
#pragma once

#include <cstddef>

#include "platform/charset.h"
#include "platform/cstring.h"

namespace vesk::device {

// Writes zeros the compiler may not drop as dead stores.
inline void WipeBytes(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--)
        *v++ = 0;
}

// Wipes a string (a password taken by value) when the scope ends.
class WipeOnExit {
public:
    explicit WipeOnExit(CString& str) : m_str(str) {}
    ~WipeOnExit() {
        std::wstring& s = m_str.str();
        WipeBytes(s.data(), s.size() * sizeof(wchar_t));
        s.clear();
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    CString& m_str;
};

// Multibyte text of at most N - 1 bytes and its terminating zero, wiped when the
// buffer goes. Passwords go to the device as UTF-8 (the system code page here too).
template <std::size_t N>
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(const CString& str) { Assign(str); }
    ~SecretText() { WipeBytes(m_bytes, N); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    void Assign(const CString& str) {
        WipeBytes(m_bytes, N);
        m_length = _QChar_UnicodeToUtf8(str.GetString(), m_bytes, static_cast<int>(N) - 1);
        m_bytes[m_length] = '\0';
    }
    const char* c_str() const { return m_bytes; }
    int length() const { return m_length; }

private:
    char m_bytes[N] = {};
    int m_length = 0;
};

}  // namespace vesk::device
