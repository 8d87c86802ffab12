// Exit codes and the two errors every vesk command throws.
#pragma once

#include <stdexcept>
#include <string>

namespace vesk::cli {

// Exit codes: what a shell script tests.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// The box and document commands tell the device's answers apart.
inline constexpr int kExitPassword = 3;  // a box password was refused
inline constexpr int kExitRefused = 4;   // the device refused the operation
inline constexpr int kExitLimit = 5;     // the device has no room for another box
// Downloads, copies and moves.
inline constexpr int kExitExists = 6;         // the target file exists (no --overwrite)
inline constexpr int kExitInterrupted = 130;  // Ctrl-C stopped it (the shell's 128 + SIGINT)

// The command line was wrong: exit 2, with a hint to --help.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The command was understood but did not work: exit 1, or the more precise code given.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& what, int exitCode = kExitFailed)
        : std::runtime_error(what), m_exitCode(exitCode) {}
    int ExitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

}  // namespace vesk::cli
