// Debug trace sink standing in for OutputDebugStringA: off unless VESK_TRACE is set,
// then lines go to stderr. Tests install a sink to read what was traced.
#pragma once

#include <functional>
#include <string>

#include "platform/export.h"

#if defined(_WIN32)
// The system's call is taken over by name, so the library's trace lines reach a test's
// sink; without one they go on to the debugger output.
#include <windows.h>
#define OutputDebugStringA VeskOutputDebugStringA
#endif
VESK_API void OutputDebugStringA(const char* text);

namespace vesk {
using TraceSink = std::function<void(const std::string&)>;
// Replaces the sink (null restores the default); returns the previous one.
VESK_API TraceSink SetTraceSink(TraceSink sink);
}  // namespace vesk
