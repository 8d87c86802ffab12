#include <arpa/inet.h>
#include <locale.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <wchar.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "tools/vesk/system.h"

namespace vesk::cli::sys {

namespace {

// The terminal's settings while echo is off, so that a signal can put them back.
struct termios g_saved;
volatile sig_atomic_t g_echoOff = 0;

void RestoreAndReraise(int sig) {
    if (g_echoOff)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

std::vector<std::string> StartProcess(int argc, char** argv) {
    // Device names, user names and cached documents are the user's own: every folder
    // and file vesk makes is private, whatever umask it was started with.
    ::umask(077);
    return std::vector<std::string>(argv + 1, argv + argc);
}

bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO);
}

int TerminalColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

std::optional<std::string> ReadLineNoEcho(const std::string& prompt) {
    if (!::isatty(STDIN_FILENO))
        return std::nullopt;
    struct termios now;
    if (::tcgetattr(STDIN_FILENO, &g_saved) != 0)
        return std::nullopt;
    now = g_saved;
    now.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    now.c_lflag |= ECHONL;

    struct sigaction act {};
    act.sa_handler = RestoreAndReraise;
    sigemptyset(&act.sa_mask);
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    struct sigaction oldQuit {};
    ::sigaction(SIGINT, &act, &oldInt);
    ::sigaction(SIGTERM, &act, &oldTerm);
    ::sigaction(SIGQUIT, &act, &oldQuit);

    // Echo goes off before the prompt shows, so nothing typed after it is echoed.
    g_echoOff = 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &now);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);

    std::string line;
    bool got = false;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got = true;
        if (c == '\n')
            break;
        line.push_back(c);
        c = 0;
    }

    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_echoOff = 0;
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
    if (!got) {
        volatile char* p = line.data();
        for (size_t i = 0; i < line.size(); ++i)
            p[i] = 0;
        return std::nullopt;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

void KeepOutOfDumps(bool on) {
    // Whether the process was dumpable before the first call that turned it off.
    static int wasDumpable = 1;
    if (on) {
        wasDumpable = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    } else if (wasDumpable == 1) {
        ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    }
}

// The C library knows the widths in a UTF-8 locale; it is used for this thread and this
// call only, whatever locale the program runs in.
size_t DisplayColumns(std::wstring_view text) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!utf8)
        return text.size();
    const locale_t previous = ::uselocale(utf8);
    size_t n = 0;
    for (wchar_t c : text) {
        const int w = ::wcwidth(c);
        n += w < 0 ? 1 : static_cast<size_t>(w);
    }
    ::uselocale(previous);
    return n;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::filesystem::path ExecutableFolder() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace vesk::cli::sys
