// Helpers for the platform tests: private temporary folders, small file helpers,
// and forked child processes that report through exit codes and pipes.
#pragma once

#include <functional>
#include <string>

#include <sys/types.h>

namespace vesk::test {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string Sub(const std::string& rel) const { return m_path + "/" + rel; }
    std::wstring W(const std::string& rel = {}) const;

private:
    std::string m_path;
};

std::wstring W(const std::string& utf8);
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // empty when unreadable
bool PathExists(const std::string& path);       // without following a final link

// One-byte messages between processes; Receive gives up after timeoutMs.
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

// Runs fn in a forked child whose exit code is fn's result (99 on an exception).
// A child still running when the object goes is killed.
class Child {
public:
    explicit Child(const std::function<int()>& fn);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Exit code, or 128 + signal number when a signal ended it.
    int Wait();
    void Kill(int sig);
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
    bool m_reaped = false;
};

}  // namespace vesk::test
