// Running part of a test in another process. SpawnSelf starts the test program again
// with only the current test selected and a role name in the environment; the test
// body checks ChildRole() first and, in the child, plays its role and leaves through
// ExitChild. The child inherits the parent's environment (its isolated folders and
// lock directory) and reports to the parent one line at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>

namespace vesk::test {

// The role this process was started for, or empty in the ordinary test run.
std::string ChildRole();
bool IsChildProcess();
// In a child: one line to the parent (a newline is added).
void ReportToParent(const std::string& line);
// In a child: leaves at once, without test-framework output or exit handlers.
[[noreturn]] void ExitChild(int code);

class ChildProcess {
public:
    // Must be called from inside a running test.
    static ChildProcess SpawnSelf(const std::string& role);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child still running.
    ~ChildProcess();

    pid_t Pid() const { return m_pid; }
    // The next line the child reported; nullopt on time-out or when the child closed
    // its end (exited).
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    void Kill(int signal = SIGKILL);
    // Waits for the child to end; its exit code, or 128 + signal number.
    int Wait();

private:
    ChildProcess(pid_t pid, int readFd) : m_pid(pid), m_readFd(readFd) {}
    void Reset() noexcept;

    pid_t m_pid = -1;
    int m_readFd = -1;
    std::string m_buffer;
};

// A forked copy of the test process running fn; its exit code is fn's result (99 on an
// exception). For what only a fork shows (descriptors and locks it inherits). A child
// still running when the object goes is killed.
class ForkedChild {
public:
    explicit ForkedChild(const std::function<int()>& fn);
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;
    // Exit code, or 128 + signal number when a signal ended it.
    int Wait();
    void Kill(int sig);
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
    bool m_reaped = false;
};

// One-byte messages between forked processes.
class Pipe {
public:
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void Send(char c);
    // The byte, or 0 on time-out or when every writer has gone.
    char Receive(int timeoutMs);

private:
    int m_fd[2];
};

}  // namespace vesk::test
