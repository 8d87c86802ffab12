#include "tools/vesk/password.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>

#include "tools/vesk/cli.h"
#include "tools/vesk/system.h"

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

// Secrets alive.
std::mutex g_heldMutex;
int g_held = 0;

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
    if (g_held++ == 0)
        sys::KeepOutOfDumps(true);
}
void Secret::Wipe() {
    WipeString(text_);
    if (!held_)
        return;
    held_ = false;
    std::lock_guard<std::mutex> lock(g_heldMutex);
    if (--g_held == 0)
        sys::KeepOutOfDumps(false);
}

std::optional<std::string> PromptNoEcho(const std::string& prompt) {
    return sys::ReadLineNoEcho(prompt);
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
