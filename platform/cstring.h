// CString: the wide string of every interface, over std::wstring, with the members of
// the MFC class that this library uses. wchar_t is UTF-32 on Linux; code that must
// count UTF-16 units (hex names, cut lengths) uses the helpers in charset.h.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cwctype>
#include <string>
#include <string_view>

#include "platform/export.h"

class VESK_API CString {
public:
    CString() = default;
    CString(const wchar_t* s) : m_s(s ? s : L"") {}
    CString(const wchar_t* s, int n) : m_s(s ? std::wstring(s, static_cast<size_t>(n < 0 ? 0 : n)) : std::wstring()) {}
    CString(wchar_t ch, int repeat = 1) : m_s(static_cast<size_t>(repeat < 0 ? 0 : repeat), ch) {}
    CString(std::wstring s) : m_s(std::move(s)) {}
    CString(std::wstring_view s) : m_s(s) {}
    // Multibyte text is taken as UTF-8, the system code page on every current Linux.
    CString(const char* s);
    CString(const std::string& s) : CString(s.c_str()) {}

    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(const wchar_t* s) {
        m_s = s ? s : L"";
        return *this;
    }
    CString& operator=(wchar_t ch) {
        m_s.assign(1, ch);
        return *this;
    }
    CString& operator=(const char* s) { return *this = CString(s); }

    // Access
    int GetLength() const { return static_cast<int>(m_s.size()); }
    bool IsEmpty() const { return m_s.empty(); }
    void Empty() { m_s.clear(); }
    wchar_t GetAt(int i) const { return m_s.at(static_cast<size_t>(i)); }
    void SetAt(int i, wchar_t ch) { m_s.at(static_cast<size_t>(i)) = ch; }
    wchar_t operator[](int i) const { return GetAt(i); }
    operator const wchar_t*() const { return m_s.c_str(); }
    const wchar_t* GetString() const { return m_s.c_str(); }
    const std::wstring& str() const { return m_s; }
    std::wstring& str() { return m_s; }

    // Buffer access as MFC offers it: GetBuffer gives room for at least n characters,
    // ReleaseBuffer(-1) takes the length up to the first terminating zero.
    wchar_t* GetBuffer(int minLength = 0);
    wchar_t* GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);

    // Extraction; out-of-range counts are clamped as MFC does.
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString SpanIncluding(const wchar_t* set) const;
    CString SpanExcluding(const wchar_t* set) const;
    CString Tokenize(const wchar_t* delims, int& start) const;

    // Search; -1 when absent.
    int Find(wchar_t ch, int start = 0) const;
    int Find(const wchar_t* sub, int start = 0) const;
    int ReverseFind(wchar_t ch) const;
    int FindOneOf(const wchar_t* set) const;

    // Comparison
    int Compare(const wchar_t* other) const;
    int CompareNoCase(const wchar_t* other) const;

    // Modification
    CString& MakeLower();
    CString& MakeUpper();
    CString& MakeReverse();
    CString& Trim();
    CString& Trim(wchar_t ch);
    CString& Trim(const wchar_t* set);
    CString& TrimLeft();
    CString& TrimLeft(wchar_t ch);
    CString& TrimLeft(const wchar_t* set);
    CString& TrimRight();
    CString& TrimRight(wchar_t ch);
    CString& TrimRight(const wchar_t* set);
    int Replace(wchar_t from, wchar_t to);
    int Replace(const wchar_t* from, const wchar_t* to);
    int Remove(wchar_t ch);
    int Insert(int index, wchar_t ch);
    int Insert(int index, const wchar_t* s);
    int Delete(int index, int count = 1);
    void Truncate(int length);

    // Formatting with MFC semantics: in a wide format %s and %c take wide arguments
    // (wchar_t* and wchar_t), %hs and %hc narrow ones; %ls and %S are wide as well.
    void Format(const wchar_t* fmt, ...);
    void FormatV(const wchar_t* fmt, va_list args);
    void AppendFormat(const wchar_t* fmt, ...);

    CString& operator+=(const CString& s) {
        m_s += s.m_s;
        return *this;
    }
    CString& operator+=(const wchar_t* s) {
        if (s) m_s += s;
        return *this;
    }
    CString& operator+=(wchar_t ch) {
        m_s += ch;
        return *this;
    }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_s + b.m_s); }
    friend CString operator+(const CString& a, const wchar_t* b) {
        return CString(a.m_s + (b ? b : L""));
    }
    friend CString operator+(const wchar_t* a, const CString& b) {
        return CString((a ? a : L"") + b.m_s);
    }
    friend CString operator+(const CString& a, wchar_t b) { return CString(a.m_s + b); }
    friend CString operator+(wchar_t a, const CString& b) { return CString(a + b.m_s); }

    friend bool operator==(const CString& a, const CString& b) { return a.m_s == b.m_s; }
    friend bool operator==(const CString& a, const wchar_t* b) { return a.Compare(b) == 0; }
    friend bool operator==(const wchar_t* a, const CString& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const wchar_t* b) { return !(a == b); }
    friend bool operator!=(const wchar_t* a, const CString& b) { return !(b == a); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_s < b.m_s; }

private:
    std::wstring m_s;
};

// Narrow (UTF-8) copy of a CString, for system calls and logs.
VESK_API std::string ToUtf8(const CString& s);
