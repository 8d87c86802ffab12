#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/charset.h"
#include "platform/cstring.h"

namespace {

TEST(Utf8Bounds, CutsOnCharacterBoundary) {
    // "aé€😀" is 1 + 2 + 3 + 4 bytes.
    const wchar_t* text = L"a\u00e9\u20ac\U0001F600";
    for (int bound = 0; bound <= 12; ++bound) {
        char buf[16];
        std::memset(buf, 0x7f, sizeof buf);
        int n = _QChar_UnicodeToUtf8(text, buf, bound);
        ASSERT_LE(n, bound);
        const int whole[] = {0, 1, 3, 6, 10};
        int expect = 0;
        for (int w : whole)
            if (w <= bound)
                expect = w;
        EXPECT_EQ(n, expect) << "bound " << bound;
        // What was written decodes back to a prefix of the text.
        std::wstring back = vesk::Utf8ToWide(std::string(buf, static_cast<size_t>(n)));
        EXPECT_EQ(std::wstring(text).substr(0, back.size()), back);
        if (n < bound) {
            EXPECT_EQ(buf[n], '\0');
        }
        if (bound < 16 && n == bound) {
            EXPECT_EQ(buf[bound], 0x7f) << "wrote past the bound";
        }
    }
}

TEST(Utf8Bounds, AstralCharactersRoundTrip) {
    const std::wstring text = L"box \U0001F4E0 \U00020000 \u00fc";
    char buf[64];
    int n = _QChar_UnicodeToUtf8(text.c_str(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    wchar_t wide[64];
    int w = _QChar_Utf8ToUnicode(buf, wide, 64);
    EXPECT_EQ(std::wstring(wide, static_cast<size_t>(w)), text);
    EXPECT_EQ(vesk::Utf16Length(text), 11u);  // two units for each astral character
}

TEST(Utf8Bounds, WideOutputIsBoundedAndTerminated) {
    wchar_t out[4];
    EXPECT_EQ(_QChar_Utf8ToUnicode("abcdef", out, 4), 3);
    EXPECT_STREQ(out, L"abc");
    EXPECT_EQ(_QChar_Utf8ToUnicode(nullptr, out, 4), 0);
    EXPECT_STREQ(out, L"");
}

TEST(Utf8Bounds, MalformedInputIsReplacedNotOverread) {
    // Truncated 3-byte sequence at the end, overlong '/' and a stray continuation byte.
    EXPECT_EQ(vesk::Utf8ToWide("a\xe2\x82"), L"a\ufffd");
    EXPECT_EQ(vesk::Utf8ToWide("\xc0\xaf"), L"\ufffd");
    EXPECT_EQ(vesk::Utf8ToWide("\xed\xa0\x80!"), L"\ufffd!");  // a surrogate
    EXPECT_EQ(vesk::Utf8ToWide("\x80z"), L"\ufffdz");
}

TEST(Utf16Units, LeftNeverSplitsAPair) {
    const std::wstring s = L"ab\U0001F600c";
    EXPECT_EQ(vesk::Utf16Left(s, 3), L"ab");
    EXPECT_EQ(vesk::Utf16Left(s, 4), L"ab\U0001F600");
    EXPECT_EQ(vesk::Utf16Left(s, 99), s);
}

TEST(CStringFormat, WideAndNarrowArgumentsAsOnWindows) {
    CString s;
    s.Format(L"%s-%d-%c-%hs-%05.1f", L"n\u00e4me", 42, L'x', "ab", 2.25);
    EXPECT_EQ(s, CString(L"n\u00e4me-42-x-ab-002.2"));
    s.Format(L"%%%ls|%S", L"a", L"b");
    EXPECT_EQ(s, CString(L"%a|b"));
    CString longer;
    longer.Format(L"%s", std::wstring(5000, L'z').c_str());
    EXPECT_EQ(longer.GetLength(), 5000);
}

TEST(CStringMembers, ExtractionClampsLikeMfc) {
    CString s(L"Hello World");
    EXPECT_EQ((std::vector<CString>{s.Left(99), s.Left(-1), s.Mid(6), s.Mid(20), s.Right(5)}),
              (std::vector<CString>{s, L"", L"World", L"", L"World"}));
    EXPECT_EQ((std::vector<int>{s.ReverseFind(L'o'), s.Find(L"World"), s.Find(L'z'),
                                CString(L"ABC").CompareNoCase(L"abc")}),
              (std::vector<int>{7, 6, -1, 0}));
    CString t(L"  x y  ");
    EXPECT_EQ(t.Trim(), CString(L"x y"));
    CString r(L"a.b.c");
    EXPECT_EQ(r.Replace(L".", L"::"), 2);
    EXPECT_EQ(r, CString(L"a::b::c"));
    int pos = 0;
    CString list(L";one;;two");
    EXPECT_EQ(list.Tokenize(L";", pos), CString(L"one"));
    EXPECT_EQ(list.Tokenize(L";", pos), CString(L"two"));
    list.Tokenize(L";", pos);
    EXPECT_EQ(pos, -1);
}

TEST(CStringMembers, BufferRoundTrip) {
    CString s;
    wchar_t* p = s.GetBuffer(10);
    std::wcscpy(p, L"abc");
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 3);
    EXPECT_EQ(CString("gr\xc3\xbc\xc3\x9f"), CString(L"gr\u00fc\u00df"));
}

}  // namespace
