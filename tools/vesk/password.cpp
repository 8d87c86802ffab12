#include "tools/vesk/password.h"

#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>

#include "tools/vesk/cli.h"

namespace vesk::cli {

namespace {

// The device takes at most 260 bytes with the terminating zero.
constexpr size_t kMaxPasswordBytes = 259;

void WipeString(std::string& s) {
    volatile char* p = s.data();
    for (size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

// The terminal's settings while echo is off, so that a signal can put them back.
struct termios g_saved;
volatile sig_atomic_t g_echoOff = 0;

void RestoreAndReraise(int sig) {
    if (g_echoOff)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void StripLineEnd(std::string& s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
}

void CheckLength(const std::string& s) {
    if (s.size() > kMaxPasswordBytes)
        throw Failure("the password is longer than " + std::to_string(kMaxPasswordBytes) +
                      " bytes");
}

}  // namespace

namespace {

// Secrets alive, and whether the process was dumpable before the first of them.
std::mutex g_heldMutex;
int g_held = 0;
int g_wasDumpable = 1;

}  // namespace

Secret::Secret(std::string text) : text_(std::move(text)) {
    Hold();
}
Secret::~Secret() {
    Wipe();
}
Secret::Secret(Secret&& other) noexcept : text_(std::move(other.text_)) {
    Hold();
    other.Wipe();
}
Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        text_ = std::move(other.text_);
        Hold();
        other.Wipe();
    }
    return *this;
}
void Secret::Hold() {
    if (held_ || text_.empty())
        return;
    held_ = true;
    std::lock_guard<std::mutex> lock(g_heldMutex);
    if (g_held++ == 0) {
        g_wasDumpable = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    }
}
void Secret::Wipe() {
    WipeString(text_);
    if (!held_)
        return;
    held_ = false;
    std::lock_guard<std::mutex> lock(g_heldMutex);
    if (--g_held == 0 && g_wasDumpable == 1)
        ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

std::optional<std::string> PromptNoEcho(const std::string& prompt) {
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
        WipeString(line);
        return std::nullopt;
    }
    StripLineEnd(line);
    return line;
}

Secret ReadPassword(const PasswordSource& source) {
    if (source.file) {
        std::string line;
        if (*source.file == "-") {
            std::getline(std::cin, line);
            if (std::cin.bad())
                throw Failure("cannot read the password from standard input");
        } else {
            std::ifstream in(*source.file, std::ios::binary);
            if (!in)
                throw Failure("cannot read the password file " + *source.file + ": " +
                              std::strerror(errno));
            std::getline(in, line);
            if (in.bad())
                throw Failure("cannot read the password file " + *source.file);
        }
        StripLineEnd(line);
        Secret s(std::move(line));
        CheckLength(s.Text());
        return s;
    }
    if (const char* env = std::getenv(source.variable)) {
        Secret s{std::string(env)};
        CheckLength(s.Text());
        return s;
    }
    if (auto typed = PromptNoEcho(source.prompt)) {
        Secret s(std::move(*typed));
        WipeString(*typed);
        CheckLength(s.Text());
        return s;
    }
    throw UsageError(std::string("a password is needed and standard input is not a terminal; "
                                 "give it with a password-file option or the variable ") +
                     source.variable);
}

}  // namespace vesk::cli
