// The name of one page's file in an all-pages JPEG download. Internal to the item tree.
#pragma once

#include "platform/cstring.h"

namespace vesk {

// "_" and the page number, padded with zeros to as many digits as the page count has:
// page 3 of 12 gives "_03", page 3 of 9 "_3".
inline CString PageSuffix(int page, int pageCount) {
    const auto digits = [](long long n) {
        int d = 1;
        for (; n >= 10 || n <= -10; n /= 10)
            ++d;
        return d;
    };
    const int zeros = digits(pageCount) - digits(page);
    CString suffix;
    suffix.Format(L"_%s%d", CString(L'0', zeros > 0 ? zeros : 0).GetString(), page);
    return suffix;
}

}  // namespace vesk
