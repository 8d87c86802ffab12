// libFuzzer target for the MIB filter: the filter file as it comes from disk, the
// pattern check and match on arbitrary text, and the address parser of the sort
// (compared with the C library's inet_addr). Built and run by scripts/fuzz.
#include <arpa/inet.h>

#include <cstdint>
#include <string>

#include "platform/charset.h"
#include "settings/device_search.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // The file path: whatever the bytes, reading keeps only checked patterns.
    CDeviceSearch search;
    search.SetFilterFilePath(vesk::Utf8ToWide(WriteScratchFile("filter.conf", data, size)));
    Check(search.LoadParameterFromFile() == 1, "an existing file reads");
    for (const CStringArray* list : {&search.m_arrOIDInclude, &search.m_arrOIDExclude}) {
        for (INT_PTR i = 0; i < list->GetSize(); ++i) {
            const CString& pattern = list->GetAt(i);
            Check(search.IsCorrectMIB(pattern) == 1, "kept patterns pass the check");
            Check(search.IsMatchDeviceID(pattern, pattern) == 1, "a pattern matches itself");
        }
    }
    for (const wchar_t* id :
         {L"1.3.6.1.4.1.59731.1.2.1.2.1.12", L"1.3.6.1.4.1.59731.1.1.1.2.1.40.1",
          L"1.3.6.1.4.1.8072.3.2.10", L"1"}) {
        int target = search.IsTargetDevice(id);
        Check(target == 0 || target == 1, "target is 0 or 1");
        if (search.m_arrOIDInclude.IsEmpty())
            Check(target == 0, "no include, no target");
    }

    // The first line as an identifier, the rest as a pattern.
    const size_t cut = input.find('\n');
    const std::wstring id = vesk::Utf8ToWide(input.substr(0, cut));
    const std::wstring pattern =
        cut == std::string::npos ? std::wstring() : vesk::Utf8ToWide(input.substr(cut + 1));
    int correct = search.IsCorrectMIB(pattern.c_str());
    int match = search.IsMatchDeviceID(CString(id), CString(pattern));
    Check(correct == 0 || correct == 1, "check is 0 or 1");
    Check(match == 0 || match == 1, "match is 0 or 1");
    if (pattern.find(L'*') == std::wstring::npos && !id.empty())
        Check(match == (id == pattern ? 1 : 0), "without a wildcard a match is equality");

    // The sort's address parser agrees with the C library.
    const std::string line = input.substr(0, cut).c_str();
    in_addr_t expected = ::inet_addr(line.c_str());
    auto ours = vesk::InetAddr(line.c_str());
    Check(expected == INADDR_NONE ? !ours : (ours && *ours == ntohl(expected)),
          "InetAddr agrees with inet_addr");
    return 0;
}
