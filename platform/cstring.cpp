// CString members that are too large to inline.
#include "platform/cstring.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/charset.h"

namespace {

bool InSet(wchar_t ch, const wchar_t* set) { return set && std::wcschr(set, ch) != nullptr; }

bool IsSpace(wchar_t ch) { return std::iswspace(static_cast<wint_t>(ch)) != 0; }

// Rewrites an MFC-style wide format so the C library reads it the same way:
// %s/%c take wide arguments in a wide format on Windows but narrow ones in C.
std::wstring TranslateFormat(const wchar_t* fmt) {
    std::wstring out;
    for (const wchar_t* p = fmt; *p; ++p) {
        out += *p;
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') {
            out += L'%';
            continue;
        }
        // flags, width, precision
        while (*p && std::wcschr(L"-+ #0123456789.*", *p)) out += *p++;
        bool hasL = false;
        bool hasH = false;
        if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            out += L"ll";
            p += 3;
        } else {
            while (*p && std::wcschr(L"hlLqjzt", *p)) {
                if (*p == L'h' && (p[1] == L's' || p[1] == L'c')) {
                    hasH = true;
                    ++p;
                    continue;
                }
                if (*p == L'l') hasL = true;
                out += *p++;
            }
        }
        if (!*p) break;
        wchar_t conv = *p;
        if (conv == L'S' || conv == L'C') {
            out += L'l';
            out += static_cast<wchar_t>(conv == L'S' ? L's' : L'c');
        } else if ((conv == L's' || conv == L'c') && !hasL && !hasH) {
            out += L'l';
            out += conv;
        } else {
            out += conv;
        }
    }
    return out;
}

}  // namespace

CString::CString(const char* s) : m_s(s ? vesk::Utf8ToWide(s) : std::wstring()) {}

std::string ToUtf8(const CString& s) { return vesk::WideToUtf8(s.str()); }

wchar_t* CString::GetBuffer(int minLength) {
    if (minLength > GetLength()) m_s.resize(static_cast<size_t>(minLength));
    return m_s.data();
}

wchar_t* CString::GetBufferSetLength(int length) {
    m_s.resize(static_cast<size_t>(std::max(length, 0)));
    return m_s.data();
}

void CString::ReleaseBuffer(int newLength) {
    if (newLength < 0) {
        m_s.resize(std::wcslen(m_s.c_str()));
    } else {
        m_s.resize(std::min(static_cast<size_t>(newLength), m_s.size()));
    }
}

CString CString::Left(int count) const {
    count = std::clamp(count, 0, GetLength());
    return CString(m_s.substr(0, static_cast<size_t>(count)));
}

CString CString::Right(int count) const {
    count = std::clamp(count, 0, GetLength());
    return CString(m_s.substr(m_s.size() - static_cast<size_t>(count)));
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
    first = std::clamp(first, 0, GetLength());
    count = std::clamp(count, 0, GetLength() - first);
    return CString(m_s.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

CString CString::SpanIncluding(const wchar_t* set) const {
    size_t n = 0;
    while (n < m_s.size() && InSet(m_s[n], set)) ++n;
    return CString(m_s.substr(0, n));
}

CString CString::SpanExcluding(const wchar_t* set) const {
    size_t n = 0;
    while (n < m_s.size() && !InSet(m_s[n], set)) ++n;
    return CString(m_s.substr(0, n));
}

CString CString::Tokenize(const wchar_t* delims, int& start) const {
    if (start < 0 || start >= GetLength()) {
        start = -1;
        return CString();
    }
    size_t b = static_cast<size_t>(start);
    while (b < m_s.size() && InSet(m_s[b], delims)) ++b;
    if (b >= m_s.size()) {
        start = -1;
        return CString();
    }
    size_t e = b;
    while (e < m_s.size() && !InSet(m_s[e], delims)) ++e;
    start = static_cast<int>(e < m_s.size() ? e + 1 : e);
    return CString(m_s.substr(b, e - b));
}

int CString::Find(wchar_t ch, int start) const {
    if (start < 0 || start > GetLength()) return -1;
    auto pos = m_s.find(ch, static_cast<size_t>(start));
    return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(const wchar_t* sub, int start) const {
    if (!sub || start < 0 || start > GetLength()) return -1;
    auto pos = m_s.find(sub, static_cast<size_t>(start));
    return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(wchar_t ch) const {
    auto pos = m_s.rfind(ch);
    return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::FindOneOf(const wchar_t* set) const {
    if (!set) return -1;
    auto pos = m_s.find_first_of(set);
    return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::Compare(const wchar_t* other) const {
    int r = std::wcscmp(m_s.c_str(), other ? other : L"");
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int CString::CompareNoCase(const wchar_t* other) const {
    const wchar_t* a = m_s.c_str();
    const wchar_t* b = other ? other : L"";
    for (;; ++a, ++b) {
        auto ca = std::towlower(static_cast<wint_t>(*a));
        auto cb = std::towlower(static_cast<wint_t>(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (!*a) return 0;
    }
}

CString& CString::MakeLower() {
    for (auto& c : m_s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return *this;
}

CString& CString::MakeUpper() {
    for (auto& c : m_s) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return *this;
}

CString& CString::MakeReverse() {
    std::reverse(m_s.begin(), m_s.end());
    return *this;
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(wchar_t ch) { return TrimRight(ch).TrimLeft(ch); }
CString& CString::Trim(const wchar_t* set) { return TrimRight(set).TrimLeft(set); }

CString& CString::TrimLeft() {
    size_t n = 0;
    while (n < m_s.size() && IsSpace(m_s[n])) ++n;
    m_s.erase(0, n);
    return *this;
}

CString& CString::TrimLeft(wchar_t ch) {
    size_t n = 0;
    while (n < m_s.size() && m_s[n] == ch) ++n;
    m_s.erase(0, n);
    return *this;
}

CString& CString::TrimLeft(const wchar_t* set) {
    size_t n = 0;
    while (n < m_s.size() && InSet(m_s[n], set)) ++n;
    m_s.erase(0, n);
    return *this;
}

CString& CString::TrimRight() {
    while (!m_s.empty() && IsSpace(m_s.back())) m_s.pop_back();
    return *this;
}

CString& CString::TrimRight(wchar_t ch) {
    while (!m_s.empty() && m_s.back() == ch) m_s.pop_back();
    return *this;
}

CString& CString::TrimRight(const wchar_t* set) {
    while (!m_s.empty() && InSet(m_s.back(), set)) m_s.pop_back();
    return *this;
}

int CString::Replace(wchar_t from, wchar_t to) {
    int n = 0;
    for (auto& c : m_s) {
        if (c == from) {
            c = to;
            ++n;
        }
    }
    return n;
}

int CString::Replace(const wchar_t* from, const wchar_t* to) {
    if (!from || !*from) return 0;
    const std::wstring f(from);
    const std::wstring t(to ? to : L"");
    int n = 0;
    std::wstring out;
    size_t pos = 0;
    for (;;) {
        size_t hit = m_s.find(f, pos);
        if (hit == std::wstring::npos) break;
        out.append(m_s, pos, hit - pos);
        out += t;
        pos = hit + f.size();
        ++n;
    }
    if (n) {
        out.append(m_s, pos, std::wstring::npos);
        m_s.swap(out);
    }
    return n;
}

int CString::Remove(wchar_t ch) {
    auto before = m_s.size();
    std::erase(m_s, ch);
    return static_cast<int>(before - m_s.size());
}

int CString::Insert(int index, wchar_t ch) {
    index = std::clamp(index, 0, GetLength());
    m_s.insert(static_cast<size_t>(index), 1, ch);
    return GetLength();
}

int CString::Insert(int index, const wchar_t* s) {
    index = std::clamp(index, 0, GetLength());
    if (s) m_s.insert(static_cast<size_t>(index), s);
    return GetLength();
}

int CString::Delete(int index, int count) {
    if (index < 0) index = 0;
    if (index < GetLength() && count > 0) {
        m_s.erase(static_cast<size_t>(index), static_cast<size_t>(count));
    }
    return GetLength();
}

void CString::Truncate(int length) {
    if (length >= 0 && length < GetLength()) m_s.resize(static_cast<size_t>(length));
}

void CString::FormatV(const wchar_t* fmt, va_list args) {
    if (!fmt) {
        m_s.clear();
        return;
    }
    const std::wstring f = TranslateFormat(fmt);
    std::vector<wchar_t> buf(256);
    // vswprintf reports -1 both for a short buffer and for an argument it cannot
    // convert, so the buffer grows up to a sane limit and then gives up.
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(buf.data(), buf.size(), f.c_str(), copy);
        va_end(copy);
        if (n >= 0) {
            m_s.assign(buf.data(), static_cast<size_t>(n));
            return;
        }
        if (buf.size() >= (1u << 22)) {
            m_s.clear();
            return;
        }
        buf.resize(buf.size() * 4);
    }
}

void CString::Format(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    FormatV(fmt, args);
    va_end(args);
}

void CString::AppendFormat(const wchar_t* fmt, ...) {
    CString tail;
    va_list args;
    va_start(args, fmt);
    tail.FormatV(fmt, args);
    va_end(args);
    m_s += tail.m_s;
}
