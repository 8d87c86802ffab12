// Per-thread record of the last operating-system failure inside the platform layer:
// which call failed, with which error code, on which path. Operations keep returning
// the result codes their callers expect; this record says why, for the trace.
#pragma once

#include <string>

#include "platform/export.h"

namespace vesk {

struct OsError {
    std::string call;    // "mkdir", "rename", "sqlite3_step"…; empty when nothing failed
    int code = 0;        // errno, or the store's own code where noted in detail
    std::wstring path;   // the path the call was about, when there is one
    std::string detail;  // extra text (the store's message), often empty
};

// Replaces this thread's record and sets errno to code.
VESK_API void RecordOsError(const char* call, int code, const std::wstring& path,
                            std::string detail = {});
VESK_API void RecordOsError(const char* call, int code, const std::string& utf8Path,
                            std::string detail = {});
VESK_API const OsError& LastOsError();
VESK_API void ClearOsError();

// "mkdir /a/b: Permission denied (errno 13)" and the detail when there is one.
VESK_API std::string DescribeOsError(const OsError& e);
// Sends "context: <description>\n" of this thread's record to the trace.
VESK_API void TraceLastOsError(const char* context);

}  // namespace vesk
