// Helpers of platform_test_util.h, and a global environment that points every
// per-user location (lock folder, registry, profile folders) at a private folder,
// so no test of this program can touch the real user's state.
#include "platform_test_util.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/charset.h"

namespace vesk::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/vesk-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::wstring TempDir::W(const std::string& rel) const {
    return vesk::Utf8ToWide(rel.empty() ? m_path : Sub(rel));
}

std::wstring W(const std::string& utf8) {
    return vesk::Utf8ToWide(utf8);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

Pipe::Pipe() {
    if (pipe(m_fd) != 0)
        throw std::runtime_error("pipe failed");
}

Pipe::~Pipe() {
    close(m_fd[0]);
    close(m_fd[1]);
}

void Pipe::Send(char c) {
    while (write(m_fd[1], &c, 1) < 0 && errno == EINTR) {
    }
}

char Pipe::Receive(int timeoutMs) {
    pollfd p{m_fd[0], POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return 0;
    char c = 0;
    return read(m_fd[0], &c, 1) == 1 ? c : 0;
}

Child::Child(const std::function<int()>& fn) {
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        int code = 99;
        try {
            code = fn();
        } catch (...) {
        }
        _exit(code);
    }
}

Child::~Child() {
    if (!m_reaped) {
        kill(m_pid, SIGKILL);
        Wait();
    }
}

int Child::Wait() {
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void Child::Kill(int sig) {
    kill(m_pid, sig);
}

namespace {

class IsolatedUserState : public ::testing::Environment {
public:
    void SetUp() override {
        m_root = std::make_unique<TempDir>();
        const std::pair<const char*, const char*> vars[] = {
            {"VESK_LOCK_DIR", "locks"},     {"XDG_RUNTIME_DIR", "run"},
            {"XDG_CONFIG_HOME", "config"},  {"XDG_DATA_HOME", "data"},
            {"ALLUSERSPROFILE", "profile"}, {"VESK_HKLM_DIR", "hklm"},
        };
        for (const auto& [name, sub] : vars) {
            std::string dir = m_root->Sub(sub);
            mkdir(dir.c_str(), 0700);
            setenv(name, dir.c_str(), 1);
        }
    }
    void TearDown() override { m_root.reset(); }

private:
    std::unique_ptr<TempDir> m_root;
};

[[maybe_unused]] auto* const g_isolation =
    ::testing::AddGlobalTestEnvironment(new IsolatedUserState);

}  // namespace
}  // namespace vesk::test
