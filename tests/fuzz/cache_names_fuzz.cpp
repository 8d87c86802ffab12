// libFuzzer target for the names the cache makes from device text: escaping, path
// splitting and joining, address comparison. The input is UTF-8; a newline splits it
// into two texts for the two-argument functions.
#include <cstdint>
#include <cstring>
#include <string>

#include "cache/utility.h"
#include "platform/charset.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool HasSeparator(const CString& s) {
    return s.Find(L'/') >= 0 || s.Find(L'\\') >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The functions take zero-terminated text, so a zero byte ends the input as it
    // would end a caller's string.
    const std::string input(reinterpret_cast<const char*>(data),
                            strnlen(reinterpret_cast<const char*>(data), size));
    const size_t cut = input.find('\n');
    const CString a(vesk::Utf8ToWide(input.substr(0, cut)));
    const CString b(cut == std::string::npos ? std::wstring()
                                             : vesk::Utf8ToWide(input.substr(cut + 1)));

    // An escaped name is one component: it can never reach into another folder.
    const CString escaped = CUtility::EscapeFileName(a);
    Check(!HasSeparator(escaped), "escaped name has no separator");
    Check(escaped != L"." && escaped != L"..", "escaped name is not . or ..");
    Check(!HasSeparator(CUtility::EscapeFileNameKeepExt(a)), "kept-extension name");

    // The folder part and the name put together give the path back.
    const CString dir = CUtility::GetDirPart(a);
    const CString name = CUtility::GetFileNameWithExt(a);
    Check(dir + name == a, "folder part + name == path");
    CUtility::GetFileTitle(a);
    CUtility::GetFileExt(a, 0);
    CUtility::GetFileExt(a, 1);
    CUtility::JoinPath(a, b);
    CUtility::IsValidFileName(a, L"/tmp");

    const int ab = CUtility::CompareIPAddress(a, b);
    const int ba = CUtility::CompareIPAddress(b, a);
    Check(ab >= -1 && ab <= 1, "comparison is -1, 0 or 1");
    if (ab == 1)
        Check(ba == -1, "comparison is antisymmetric");
    return 0;
}
