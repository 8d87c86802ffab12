// Running part of a test in a forked copy of the test process, for what only a fork
// shows (descriptors and locks it inherits).
#pragma once

#include <sys/types.h>

#include <functional>

namespace vesk::test {

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
