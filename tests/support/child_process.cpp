#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace vesk::test {
namespace {

constexpr const char* kRoleVar = "VESK_TEST_CHILD_ROLE";
constexpr const char* kReportFdVar = "VESK_TEST_REPORT_FD";
constexpr int kReportFd = 100;  // where the child finds its end of the report pipe

bool StartsWith(const char* s, const std::string& prefix) {
    return std::strncmp(s, prefix.c_str(), prefix.size()) == 0;
}

// Variables a child must not inherit: they would make it shard away its one test
// or overwrite the parent's report.
bool Dropped(const char* entry) {
    for (const char* name :
         {"VESK_TEST_CHILD_ROLE=", "VESK_TEST_REPORT_FD=", "GTEST_OUTPUT=", "GTEST_TOTAL_SHARDS=",
          "GTEST_SHARD_INDEX=", "GTEST_SHARD_STATUS_FILE=", "XML_OUTPUT_FILE="}) {
        if (StartsWith(entry, name))
            return true;
    }
    return false;
}

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

std::string ChildRole() {
    const char* role = std::getenv(kRoleVar);
    return role ? role : "";
}

bool IsChildProcess() {
    return !ChildRole().empty();
}

void ReportToParent(const std::string& line) {
    const char* fdText = std::getenv(kReportFdVar);
    if (fdText == nullptr)
        return;
    const int fd = std::atoi(fdText);
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void ExitChild(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

ChildProcess ChildProcess::SpawnSelf(const std::string& role) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        throw std::logic_error("SpawnSelf outside a test");

    char exe[PATH_MAX];
    const ssize_t len = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0)
        throw std::runtime_error("cannot find the test program");
    exe[len] = '\0';

    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are made.
    std::vector<std::string> args = {
        exe, std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!Dropped(*e))
            env.emplace_back(*e);
    }
    env.push_back(std::string(kRoleVar) + "=" + role);
    env.push_back(std::string(kReportFdVar) + "=" + std::to_string(kReportFd));
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        if (fds[1] == kReportFd) {
            ::fcntl(kReportFd, F_SETFD, 0);
        } else {
            ::dup2(fds[1], kReportFd);
        }
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            ::dup2(devnull, STDOUT_FILENO);
        ::execve(exe, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    return ChildProcess(pid, fds[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid), m_readFd(other.m_readFd), m_buffer(std::move(other.m_buffer)) {
    other.m_pid = -1;
    other.m_readFd = -1;
}

ChildProcess::~ChildProcess() {
    Reset();
}

void ChildProcess::Reset() noexcept {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Reap(m_pid);
        m_pid = -1;
    }
    if (m_readFd >= 0) {
        ::close(m_readFd);
        m_readFd = -1;
    }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (m_readFd < 0)
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{m_readFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char chunk[256];
        const ssize_t n = ::read(m_readFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(m_readFd);
            m_readFd = -1;
            continue;  // a last line may still sit in the buffer
        }
        m_buffer.append(chunk, static_cast<size_t>(n));
    }
}

void ChildProcess::Kill(int signal) {
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

int ChildProcess::Wait() {
    if (m_pid <= 0)
        return -1;
    const int code = Reap(m_pid);
    m_pid = -1;
    return code;
}

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
