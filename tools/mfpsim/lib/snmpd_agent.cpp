#include "tools/mfpsim/lib/snmpd_agent.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace mfpsim {

std::string FindSnmpd() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/snmpd").c_str(), X_OK) == 0)
            return dir + "/snmpd";
    return {};
}

namespace {

int FreePort(const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port on " + address);
    }
    ::close(fd);
    return ntohs(sa.sin_port);
}

}  // namespace

SnmpdAgent::SnmpdAgent(AgentConfig config, const std::string& parentFolder, int index)
    : config_(std::move(config)) {
    if (config_.address.rfind("127.", 0) != 0)
        throw std::runtime_error("test agents live on loopback only: " + config_.address);
    // The values go into a configuration file line by line.
    for (const std::string* value : {&config_.sysObjectID, &config_.sysDescr, &config_.community})
        if (value->find_first_of("\r\n") != std::string::npos)
            throw std::runtime_error("an agent value holds a line break");
    snmpd_ = FindSnmpd();
    if (snmpd_.empty())
        throw std::runtime_error("snmpd is not installed (scripts/deps)");
    folder_ = parentFolder + "/agent" + std::to_string(index);
    std::filesystem::create_directories(folder_ + "/state");
    Spawn();
}

void SnmpdAgent::WaitReady(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (int attempt = 0;; ++attempt) {
        while (std::chrono::steady_clock::now() < deadline) {
            if (Log().find("NET-SNMP version") != std::string::npos)
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid_ > 0 || attempt >= 4 || std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("snmpd on " + config_.address + " did not start:\n" + Log());
        Spawn();
    }
}

void SnmpdAgent::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string SnmpdAgent::Log() const {
    std::ifstream in(folder_ + "/snmpd.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void SnmpdAgent::WriteConfig() {
    std::ofstream conf(folder_ + "/snmpd.conf", std::ios::trunc);
    conf << "agentaddress udp:" << config_.address << ":" << port_ << "\n";
    if (config_.hideDescr) {
        conf << "view onlyoid included .1.3.6.1.2.1.1.2\n";
        conf << "rocommunity " << config_.community << " 127.0.0.0/8 -V onlyoid\n";
    } else {
        conf << "rocommunity " << config_.community << " 127.0.0.0/8\n";
    }
    conf << "sysObjectID ." << config_.sysObjectID << "\n";
    conf << "sysDescr " << config_.sysDescr << "\n";
    conf << "[snmp] persistentDir " << folder_ << "/state\n";
    if (!conf)
        throw std::runtime_error("cannot write " + folder_ + "/snmpd.conf");
}

void SnmpdAgent::Spawn() {
    port_ = FreePort(config_.address);
    WriteConfig();
    const std::string conf = folder_ + "/snmpd.conf";
    const std::string log = folder_ + "/snmpd.log";
    const pid_t parent = ::getpid();
    // Only async-signal-safe calls between fork and exec: the caller may have threads.
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // The agent dies with the thread that started it, even when the process crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        // The control service blocks its stop signals in every thread; the agent takes them.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        // No MIB files: the agent needs none and would log pages of warnings.
        ::execl("/usr/bin/env", "env", "MIBS=", "MIBDIRS=/nonexistent", snmpd_.c_str(), "-f", "-Lo",
                "-C", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
}

std::vector<std::unique_ptr<SnmpdAgent>> StartAgents(const std::vector<AgentConfig>& configs,
                                                     const std::string& folder) {
    std::vector<std::unique_ptr<SnmpdAgent>> agents;
    for (size_t i = 0; i < configs.size(); ++i)
        agents.push_back(std::make_unique<SnmpdAgent>(configs[i], folder, static_cast<int>(i)));
    for (auto& a : agents)
        a->WaitReady();
    return agents;
}

}  // namespace mfpsim
