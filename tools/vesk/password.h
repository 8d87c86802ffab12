// Passwords for vesk: never from the command line. They come from a file named by an
// option, from an environment variable, or from a prompt without echo when standard
// input is a terminal. They are never printed or logged.
#pragma once

#include <optional>
#include <string>

namespace vesk::cli {

// A password held in memory only as long as needed: wiped when it goes. Copies are
// impossible (moves wipe the source); while any holds a password the process is not
// dumpable, so no core file or ptrace attach by the user's other programs can read it.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string text);
    ~Secret();
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const std::string& Text() const { return text_; }

private:
    void Wipe();
    void Hold();
    std::string text_;
    bool held_ = false;
};

// Where one password may come from, in this order: the file (its first line; "-" is
// standard input), the environment variable, the prompt. Throws UsageError when none
// of them gives a password and Failure when the file cannot be read.
struct PasswordSource {
    std::optional<std::string> file;  // value of the --*-password-file option
    const char* variable;             // e.g. "VESK_PASSWORD"
    std::string prompt;               // e.g. "Password for alice: "
};
Secret ReadPassword(const PasswordSource& source);

// Test seam and the prompt itself: reads one line from the terminal on standard input
// with echo off, restoring the terminal afterwards (also when interrupted).
std::optional<std::string> PromptNoEcho(const std::string& prompt);

}  // namespace vesk::cli
