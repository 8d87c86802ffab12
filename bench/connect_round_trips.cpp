// Connect cost in round trips: the time from Initialize to a connected session with
// every inquiry of the device item answered, over a link that adds 20 ms to each round
// trip, divided by 20 ms; plain TCP and TLS.
//
//   bench_connect_round_trips [--delay-ms D] [--repeat R]
//
// The emulator runs in this process behind a delaying proxy on loopback: every byte
// is held 10 ms in each direction, so every exchange (TLS handshake flights included)
// costs 20 ms more. A proxy cannot hold back the kernel's TCP handshake, so the
// client's connections are opened through a link factory that waits the 20 ms the
// SYN / SYN-ACK exchange would take before it connects. The same run without delay
// gives the time the two ends spend computing, printed beside it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/server.h"
#include "tools/mfpsim/lib/store.h"

namespace {

namespace fs = std::filesystem;
namespace tc = vesk::tcpcore;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "bench_connect_round_trips: %s\n", what.c_str());
    std::exit(1);
}

int Listen() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 16) != 0)
        Die("listen");
    return fd;
}

int PortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        Die("proxy cannot reach the emulator");
    return fd;
}

// A loopback proxy that holds every byte for delay in each direction.
class DelayProxy {
public:
    DelayProxy(int upstreamPort, std::chrono::milliseconds delay)
        : m_upstream(upstreamPort), m_delay(delay), m_listen(Listen()) {
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~DelayProxy() {
        m_stop = true;
        m_thread.join();
        std::lock_guard lk(m_mu);
        for (std::thread& t : m_pumps)
            t.join();
        ::close(m_listen);
    }
    int Port() const { return PortOf(m_listen); }
    int Accepted() const { return m_accepted; }

private:
    void AcceptLoop() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            ++m_accepted;
            const int server = ConnectTo(m_upstream);
            const int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard lk(m_mu);
            m_pumps.emplace_back([this, client, server] { Pump(client, server); });
            m_pumps.emplace_back([this, client, server] { Pump(server, client); });
        }
    }

    // Copies from one socket to the other, each piece released delay after it came.
    void Pump(int from, int to) {
        struct Piece {
            Clock::time_point due;
            std::vector<char> bytes;
        };
        std::deque<Piece> queue;
        bool open = true;
        std::vector<char> buf(64 << 10);
        while (!m_stop && (open || !queue.empty())) {
            int wait = 20;
            if (!queue.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    queue.front().due - Clock::now());
                wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 20));
            }
            pollfd p{from, POLLIN, 0};
            if (open && ::poll(&p, 1, wait) > 0) {
                const ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
                if (n > 0)
                    queue.push_back({Clock::now() + m_delay, {buf.begin(), buf.begin() + n}});
                else
                    open = false;
            } else if (!open && wait > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            }
            while (!queue.empty() && queue.front().due <= Clock::now()) {
                const std::vector<char>& b = queue.front().bytes;
                if (::send(to, b.data(), b.size(), MSG_NOSIGNAL) < 0)
                    open = false;
                queue.pop_front();
            }
        }
        ::shutdown(to, SHUT_WR);
    }

    int m_upstream;
    std::chrono::milliseconds m_delay;
    int m_listen;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_mu;
    std::vector<std::thread> m_pumps;
    std::thread m_thread;
};

// The inquiries the device item makes after Connect, for its protocol number.
int ItemInquiries(CTcpCore& core, int v) {
    int failed = 0;
    int value = 0;
    auto check = [&](int r) { failed += r == 1 ? 0 : 1; };
    if (v >= 43)
        check(core.InquireSecuritySettingOfRXData(value));
    if (v >= 34)
        check(core.GetHDDCount(value));
    if (v >= 32) {
        tagUTIL_BOXCONTROLPERMISSION bc{};
        tagUTIL_AUTODELTIMEPERMISSION ad{};
        check(core.GetBoxControlPermission(bc));
        check(core.GetAutoDelTimePermission(ad));
        check(core.GetMono2ColorDocPolicy(value));
    }
    check(core.IsIOption(value));
    if (v >= 40) {
        tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO e1{};
        tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 e2{};
        check(core.GetExtendedFormatSupportInfo(e1));
        check(core.GetExtendedFormatSupportInfo2(e2));
    } else if (v >= 33) {
        tagUTIL_SPDF_SUPPORT_INFO s{};
        check(core.GetSearchablePDFSupportInfo(s));
    }
    if (v >= 44) {
        long f = 0;
        check(core.GetOptionalFunction(f));
    }
    if (v >= 49)
        check(core.InquireEnhancedSecurityMode(value));
    return failed;
}

struct Result {
    double ms = 0;
    long long exchanges = 0;  // protocol request/reply pairs (the client's count)
    int connections = 0;      // TCP connections opened
    std::string tlsVersion;
};

// The device item's road: probe query, factory object, Connect, inquiries.
Result ConnectOnce(int mode, int port) {
    Result r;
    const Clock::time_point t0 = Clock::now();
    auto probe = std::make_unique<CTcpCoreV20>();
    tagQTCP_DEVICEINFO info{};
    int major = 0, minor = 0, canceled = 0, opened = 0;
    if (!probe->Initialize(mode, nullptr) ||
        !probe->GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, port, 5, 12, 12,
                              nullptr))
        Die("device information query failed");
    r.exchanges += probe->GetRoundTripCount();
    probe->Uninitialize();
    probe.reset();
    CTcpCore factory;
    std::unique_ptr<CTcpCore> core(factory.GetTcpCoreObject(major, minor));
    const int version = factory.GetTcpVersion();
    int ua = 0, aa = 0, pub = 0;
    if (!core || !core->Initialize(mode, mfpsim::DeviceUnit(info.szDeviceID).c_str()) ||
        !core->Connect("127.0.0.1", port, ua, aa, pub, nullptr))
        Die("Connect failed");
    if (ItemInquiries(*core, version) != 0)
        Die("an inquiry failed");
    const Clock::time_point t1 = Clock::now();
    r.ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    r.exchanges += core->GetRoundTripCount();
    r.tlsVersion = core->GetNegotiatedTlsVersion();
    core->Disconnect(1);
    return r;
}

std::atomic<int> g_connections{0};
std::chrono::milliseconds g_handshake{0};

// Opens client links as the real factory does, after the TCP handshake's round trip.
std::unique_ptr<tc::DeviceLink> DelayedOpen(const tc::LinkTarget& target, const tc::WaitControl& wc,
                                            tc::LinkStatus& status) {
    ++g_connections;
    std::this_thread::sleep_for(g_handshake);
    return tc::OpenSocketLink(target, wc, status);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int delayMs = 20;
    int repeat = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--delay-ms" && i + 1 < argc) {
            delayMs = std::max(2, std::atoi(argv[++i]));
        } else if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--delay-ms D] [--repeat R]\n", argv[0]);
            return 2;
        }
    }

    char tmpl[] = "/tmp/vesk-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        Die("mkdtemp");
    const fs::path dir = tmpl;
    mfpsim::DeviceState st;
    mfpsim::User u;
    u.name = "alice";
    u.password = "alice";
    st.users[u.name] = u;
    if (!mfpsim::Store(dir / "device").SaveAll(st))
        Die("cannot write the device folder");
    mfpsim::ServerOptions o;
    o.root = dir / "device";
    mfpsim::Server server(o);
    if (!server.Start())
        Die("mfpsim: " + server.Error());
    tc::SetLinkFactory(DelayedOpen);

    std::printf("added delay %d ms per round trip; median of %d connects each\n", delayMs, repeat);
    bool met = true;
    for (int mode : {0, 1}) {
        const int upstream = mode == 0 ? server.Port() : server.TlsPort();
        std::vector<double> base, delayed;
        Result last;
        {
            // Without delay: what the two ends spend computing.
            g_handshake = std::chrono::milliseconds(0);
            DelayProxy none(upstream, std::chrono::milliseconds(0));
            for (int i = 0; i < repeat; ++i) {
                tc::DropParkedLink();
                base.push_back(ConnectOnce(mode, none.Port()).ms);
            }
        }
        {
            g_handshake = std::chrono::milliseconds(delayMs);
            DelayProxy slow(upstream, std::chrono::milliseconds(delayMs / 2));
            for (int i = 0; i < repeat; ++i) {
                tc::DropParkedLink();
                g_connections = 0;
                last = ConnectOnce(mode, slow.Port());
                last.connections = g_connections;
                delayed.push_back(last.ms);
            }
        }
        const double rounds = Median(delayed) / delayMs;
        // Without the time both ends compute, what remains is delay plus scheduling noise.
        const double net = (Median(delayed) - Median(base)) / delayMs;
        const int tlsRounds = mode == 0 ? 0 : (last.tlsVersion == "TLSv1.3" ? 1 : 2);
        const long long counted = last.connections * (1 + tlsRounds) + last.exchanges;
        std::printf(
            "%s%s: %.1f ms = %.2f x %d ms; less %.1f ms computing (same road, no delay): "
            "%.2f round trips\n",
            mode ? "tls " : "tcp", mode ? last.tlsVersion.c_str() : "", Median(delayed), rounds,
            delayMs, Median(base), net);
        std::printf(
            "    counted: %d connection x (TCP 1%s) + %lld protocol exchanges "
            "(GetRoundTripCount of both objects) = %lld (goal <= 4)\n",
            last.connections, mode ? (tlsRounds == 1 ? " + TLS 1" : " + TLS 2") : "",
            last.exchanges, counted);
        met = met && counted <= 4 && net < 4.5;
    }
    tc::SetLinkFactory({});
    server.Stop();
    fs::remove_all(dir);
    std::printf("%s\n", met ? "goal met" : "goal missed");
    return 0;
}
