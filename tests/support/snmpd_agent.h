// Real SNMP agents for tests and benchmarks: Debian's snmpd, one process per agent, on a
// loopback address and a free high port, with its own generated configuration and
// state folder, killed when the object goes (or when the test process dies).
// Header-only so that benchmark programs can use it without the test support library.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "temp_folder.h"

namespace vesk::test {

// The snmpd program, or empty when it is not installed.
inline std::string FindSnmpd() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/snmpd").c_str(), X_OK) == 0)
            return dir + "/snmpd";
    return {};
}

struct AgentConfig {
    std::string address;      // 127.0.0.X
    std::string sysObjectID;  // dotted, without a leading dot
    std::string sysDescr;
    std::string community = "quorle";
    bool hideDescr = false;  // the agent answers sysObjectID but not sysDescr
};

class SnmpdAgent {
public:
    // Starts the agent without waiting for it; call WaitReady (or use StartAgents).
    SnmpdAgent(AgentConfig config, const std::string& parentFolder, int index)
        : config_(std::move(config)) {
        if (config_.address.rfind("127.", 0) != 0)
            throw std::runtime_error("test agents live on loopback only: " + config_.address);
        snmpd_ = FindSnmpd();
        if (snmpd_.empty())
            throw std::runtime_error("snmpd is not installed (scripts/deps)");
        folder_ = parentFolder + "/agent" + std::to_string(index);
        std::filesystem::create_directories(folder_ + "/state");
        Spawn();
    }
    ~SnmpdAgent() { Stop(); }
    SnmpdAgent(const SnmpdAgent&) = delete;
    SnmpdAgent& operator=(const SnmpdAgent&) = delete;

    // Waits until the agent listens; on a port clash it tries another port.
    void WaitReady(std::chrono::milliseconds limit = std::chrono::milliseconds(8000)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (int attempt = 0;; ++attempt) {
            while (std::chrono::steady_clock::now() < deadline) {
                std::string log = Log();
                if (log.find("NET-SNMP version") != std::string::npos)
                    return;
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (pid_ > 0 || attempt >= 4 || std::chrono::steady_clock::now() >= deadline)
                throw std::runtime_error("snmpd on " + config_.address + " did not start:\n" +
                                         Log());
            Spawn();
        }
    }

    // Killed outright: the agent keeps nothing a test needs.
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    const std::string& address() const { return config_.address; }
    int port() const { return port_; }
    std::string target() const { return config_.address + ":" + std::to_string(port_); }
    std::string Log() const {
        std::ifstream in(folder_ + "/snmpd.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    static int FreePort(const std::string& address) {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = 0;
        ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot find a free port on " + address);
        }
        ::close(fd);
        return ntohs(sa.sin_port);
    }

    void WriteConfig() {
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

    void Spawn() {
        port_ = FreePort(config_.address);
        WriteConfig();
        const std::string conf = folder_ + "/snmpd.conf";
        const std::string log = folder_ + "/snmpd.log";
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            // The agent dies with the test process, even when that one crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                ::close(fd);
            }
            // No MIB files: the agent needs none and would log pages of warnings.
            ::execl("/usr/bin/env", "env", "MIBS=", "MIBDIRS=/nonexistent", snmpd_.c_str(), "-f",
                    "-Lo", "-C", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pid_ = pid;
    }

    AgentConfig config_;
    std::string snmpd_;
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Starts every agent at once and waits until all listen.
inline std::vector<std::unique_ptr<SnmpdAgent>> StartAgents(const std::vector<AgentConfig>& configs,
                                                            const std::string& folder) {
    std::vector<std::unique_ptr<SnmpdAgent>> agents;
    for (size_t i = 0; i < configs.size(); ++i)
        agents.push_back(std::make_unique<SnmpdAgent>(configs[i], folder, static_cast<int>(i)));
    for (auto& a : agents)
        a->WaitReady();
    return agents;
}

// Agents shared by the tests of one suite: Start in SetUpTestSuite, Stop in
// TearDownTestSuite. A failure to start is kept for each test to report, since the
// search has no other real peer.
class AgentSet {
public:
    void Start(const std::vector<AgentConfig>& configs, const std::string& prefix) {
        try {
            folder_ = std::make_unique<TempFolder>(prefix);
            agents_ = StartAgents(configs, folder_->path());
        } catch (const std::exception& e) {
            error_ = e.what();
        }
    }
    void Stop() {
        agents_.clear();
        folder_.reset();
    }
    const std::string& Error() const { return error_; }
    const SnmpdAgent& operator[](size_t i) const { return *agents_.at(i); }
    const std::vector<std::unique_ptr<SnmpdAgent>>& All() const { return agents_; }
    // Every agent's log, for a failed test.
    std::string Logs() const {
        std::string out;
        for (const auto& a : agents_)
            out += "--- snmpd " + a->target() + "\n" + a->Log();
        return out;
    }

private:
    std::unique_ptr<TempFolder> folder_;
    std::vector<std::unique_ptr<SnmpdAgent>> agents_;
    std::string error_;
};

}  // namespace vesk::test
