// Trace lines to the debugger, through the wide call (the narrow name is the library's).
#include <windows.h>

#include "platform/charset.h"

namespace vesk {

void SendToDebugger(const char* text) {
    OutputDebugStringW(Utf8ToWide(text).c_str());
}

}  // namespace vesk
