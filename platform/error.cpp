// The per-thread last-error record of error.h.
#include "platform/error.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/charset.h"
#include "platform/trace.h"

namespace vesk {
namespace {
thread_local OsError t_last;
}

void RecordOsError(const char* call, int code, const std::wstring& path, std::string detail) {
    t_last.call = call ? call : "";
    t_last.code = code;
    t_last.path = path;
    t_last.detail = std::move(detail);
    errno = code;
}

void RecordOsError(const char* call, int code, const std::string& utf8Path, std::string detail) {
    RecordOsError(call, code, Utf8ToWide(utf8Path), std::move(detail));
}

const OsError& LastOsError() {
    return t_last;
}

void ClearOsError() {
    t_last = OsError{};
}

std::string DescribeOsError(const OsError& e) {
    if (e.call.empty())
        return "no error";
    std::string s = e.call;
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about " " + temporary.
    if (!e.path.empty()) {
        s += ' ';
        s += WideToUtf8(e.path);
    }
    s += ": ";
    s += std::generic_category().message(e.code);
    s += " (errno ";
    s += std::to_string(e.code);
    s += ')';
    if (!e.detail.empty()) {
        s += " - ";
        s += e.detail;
    }
    return s;
}

void TraceLastOsError(const char* context) {
    std::string line = context ? context : "";
    line += ": " + DescribeOsError(t_last) + "\n";
    OutputDebugStringA(line.c_str());
}

}  // namespace vesk
