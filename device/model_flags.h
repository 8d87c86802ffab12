// Recognition of the device families that need special handling, from the device
// identifier in object-identifier form. Both identifier families count:
// "1.3.6.1.4.1.59731.1.1.1.2.1.<model>..." and "1.3.6.1.4.1.59731.1.2.1.2.1.<model>...".
#pragma once

#include "platform/cstring.h"
#include "platform/export.h"

namespace vesk::device {

enum class ModelFamily {
    kDova,         // 39-41
    kRook,         // 37-38
    kFenn,         // 63-66
    kMarlBK,       // 70-73
    kHalcyBK,      // 101-102, 139-141
    kVantaBK,      // 108-112, 122-124, 156-159
    kUlmoS,        // 10017-10018
    kVantaSBK2nd,  // 165-169
    kBrioBKZPlus,  // 213
    kBrioBKZX012,  // 207-211
    kTesselBK01,   // 214-215
    kPykeMLK,      // 193-196
    kRawThumbnail  // 37-41: thumbnails come as raw grey rows
};

// 1 when the identifier names a model of the family, else 0. Only as many leading
// characters count as a prefix and a model number of the family take, so an
// identifier "<prefix>391" counts as model 39. Comparison is exact.
VESK_API int IsModelOf(const CString& strDevId, ModelFamily family);

}  // namespace vesk::device
