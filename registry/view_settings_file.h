// The view settings of the lists the user interface shows (registered devices, the
// boxes of a device, the documents of a box): where each list's small XML file lives,
// and how it is written and read. The root item offers them to the application.
#pragma once

#include <string>
#include <string_view>

#include "platform/cstring.h"
#include "platform/export.h"

// One list's columns, sort order and view mode. -1 marks a value not set yet; what the
// numbers mean is the user interface's.
struct VIEW_INFO {
    int nCurViewMode;  // set from the file together with nViewMode, never written
    int nColumnWidth[5];
    int nColumnEnable[5];
    int nColumnOrder[5];
    bool bSortOrder;
    int nSortColumnNumber;
    int nViewMode;  // written as an unsigned decimal
};

namespace vesk {

// A settings file holds a few hundred bytes; anything much larger is not one of ours
// and is not parsed.
constexpr size_t kMaxViewSettingsBytes = 64 * 1024;

struct ViewSettingsPlace {
    CString deviceFolder;  // the device's folder; empty for the device list
    CString file;
    int columns = 0;  // how many entries of the column arrays the file keeps
};

// The file of a list: the device list for an empty address, a device's box list for
// box number -1, else that box's document list. False when the address cannot be a
// single folder name (see IsSafeFolderName), so nothing outside the settings folder
// is ever named.
VESK_API bool ViewSettingsPlaceFor(const CString& address, int boxNo, ViewSettingsPlace& place);

// The file's bytes for the first `columns` entries of the column arrays.
VESK_API std::string SerializeViewSettings(const VIEW_INFO& vi, int columns);

// Reads a file's bytes into vi (numbers as _wtoi reads them). False, with vi as it
// was, when the bytes are not a well-formed document of at most kMaxViewSettingsBytes
// (nor one nested deeper than xml::kMaxDepth).
// Throws std::bad_alloc when the parser runs out of memory.
VESK_API bool ParseViewSettings(std::string_view bytes, int columns, VIEW_INFO& vi);

}  // namespace vesk
