#include "child_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace vesk::test {
namespace {

// Waits for pid to end: its exit code, or 128 + signal number.
int Reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

ForkedChild::ForkedChild(const std::function<int()>& fn) {
    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        int code = 99;
        try {
            code = fn();
        } catch (...) {
        }
        ::_exit(code);
    }
}

ForkedChild::~ForkedChild() {
    if (!m_reaped) {
        ::kill(m_pid, SIGKILL);
        Wait();
    }
}

int ForkedChild::Wait() {
    m_reaped = true;
    return Reap(m_pid);
}

void ForkedChild::Kill(int sig) {
    ::kill(m_pid, sig);
}

Pipe::Pipe() {
    if (::pipe(m_fd) != 0)
        throw std::runtime_error("pipe failed");
}

Pipe::~Pipe() {
    ::close(m_fd[0]);
    ::close(m_fd[1]);
}

void Pipe::Send(char c) {
    while (::write(m_fd[1], &c, 1) < 0 && errno == EINTR) {
    }
}

char Pipe::Receive(int timeoutMs) {
    pollfd p{m_fd[0], POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return 0;
    char c = 0;
    return ::read(m_fd[0], &c, 1) == 1 ? c : 0;
}

}  // namespace vesk::test
