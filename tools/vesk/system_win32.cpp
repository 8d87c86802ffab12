#include <windows.h>
// (after windows.h)
#include <shellapi.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "platform/charset.h"
#include "tools/vesk/system.h"

namespace vesk::cli::sys {

namespace {

HANDLE Std(DWORD which) {
    return ::GetStdHandle(which);
}

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(Std(which), &mode) != 0;
}

}  // namespace

std::vector<std::string> StartProcess(int, char**) {
    // The narrow arguments are in the ANSI code page: take the wide ones. A user's files
    // are private through the profile's own permissions; nothing to narrow here.
    std::vector<std::string> args;
    int n = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (!wide)
        return args;
    for (int i = 1; i < n; ++i)
        args.push_back(vesk::WideToUtf8(wide[i]));
    ::LocalFree(wide);
    return args;
}

bool StdinIsTerminal() {
    return IsConsole(STD_INPUT_HANDLE);
}

bool StderrIsTerminal() {
    return IsConsole(STD_ERROR_HANDLE);
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(Std(STD_ERROR_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns >= 20)
            return columns;
    }
    return 80;
}

std::optional<std::string> ReadLineNoEcho(const std::string& prompt) {
    const HANDLE in = Std(STD_INPUT_HANDLE);
    DWORD saved = 0;
    if (!::GetConsoleMode(in, &saved))
        return std::nullopt;
    ::SetConsoleMode(in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    std::wstring line;
    bool got = false;
    for (;;) {
        wchar_t c = 0;
        DWORD n = 0;
        if (!::ReadConsoleW(in, &c, 1, &n, nullptr) || n == 0)
            break;
        got = true;
        if (c == L'\n')
            break;
        line.push_back(c);
    }
    ::SetConsoleMode(in, saved);
    std::fputs("\n", stderr);
    std::string out = vesk::WideToUtf8(line);
    volatile wchar_t* p = line.data();
    for (size_t i = 0; i < line.size(); ++i)
        p[i] = 0;
    if (!got)
        return std::nullopt;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

void KeepOutOfDumps(bool) {
    // Windows writes no core file of a crashed program unless the user set one up.
}

size_t DisplayColumns(std::wstring_view text) {
    size_t n = 0;
    for (wchar_t c : text) {
        WORD type = 0;
        if (!::GetStringTypeW(CT_CTYPE3, &c, 1, &type))
            type = 0;
        if (type & C3_NONSPACING)
            continue;
        n += (type & (C3_FULLWIDTH | C3_IDEOGRAPH | C3_HIRAGANA | C3_KATAKANA)) ? 2 : 1;
    }
    return n;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::filesystem::path ExecutableFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return std::filesystem::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace vesk::cli::sys
