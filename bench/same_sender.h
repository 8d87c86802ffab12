// What the throughput benchmarks share: the emulator in a child process serving one
// synthetic document both as a document stream and, unframed, on its benchmark
// listeners (ServerOptions::rawPort, rawTlsPort), so that the client under test and the
// raw copy it is compared with are served by the same sender; the raw copy itself
// (recv or SSL_read into a 1 MiB buffer, then write); CPU and file helpers.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/render.h"
#include "tools/mfpsim/lib/server.h"
#include "tools/mfpsim/lib/store.h"

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr int kBuffer = 1 << 20;
inline constexpr int kDocId = 1;
inline constexpr int kBox = 1;

// The program's name for messages; set by main.
inline const char* g_name = "bench";

[[noreturn]] inline void Die(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", g_name, what.c_str());
    std::exit(1);
}

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

inline double CpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (user + system) of this thread.
inline double ThreadCpu() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return CpuSeconds(u);
}

// CPU seconds (user + system) of another process, all its threads.
inline double ProcessCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> f;
    std::size_t pos = close + 2;
    while (pos < stat.size()) {
        const std::size_t sp = stat.find(' ', pos);
        f.push_back(stat.substr(pos, sp - pos));
        if (sp == std::string::npos)
            break;
        pos = sp + 1;
    }
    if (f.size() < 13)
        return 0;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / tick;
}

inline bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Checks a downloaded file against the synthetic content, byte for byte.
inline bool Verify(const fs::path& file, long long size) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<unsigned char> got(kBuffer), want(kBuffer);
    long long off = 0;
    bool ok = true;
    for (;;) {
        const ssize_t r = ::read(fd, got.data(), got.size());
        if (r <= 0)
            break;
        mfpsim::SyntheticContent(off, want.data(), static_cast<std::size_t>(r));
        if (std::memcmp(got.data(), want.data(), static_cast<std::size_t>(r)) != 0) {
            ok = false;
            break;
        }
        off += r;
    }
    ::close(fd);
    return ok && off == size;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

inline double PerGib(double seconds, long long bytes) {
    return seconds * static_cast<double>(1LL << 30) / static_cast<double>(bytes);
}

// A device folder holding one user (alice), one shared box and one synthetic document.
inline void WriteDevice(const fs::path& root, long long size) {
    mfpsim::DeviceState st;
    mfpsim::User u;
    u.name = "alice";
    u.password = "alice";
    st.users[u.name] = u;
    mfpsim::Box b;
    b.number = kBox;
    b.name = "Shared";
    b.entryDate = "2024/03/04 09:05:03";
    st.boxes[b.number] = b;
    mfpsim::Document d;
    d.id = kDocId;
    d.box = kBox;
    d.name = "Large";
    d.owner = "alice";
    d.entryDate = b.entryDate;
    d.fileType = mfpsim::kFilePdf;
    d.syntheticSize = size;
    st.documents[d.id] = d;
    st.nextDocumentId = 2;
    if (!mfpsim::Store(root).SaveAll(st))
        Die("cannot write the device folder " + root.string());
}

// The emulator in a child process: its ports and certificate come back on a pipe, and
// it runs until the parent closes its end of a control pipe. Start it before this
// process has any thread.
struct Emulator {
    pid_t pid = -1;
    int control = -1;  // parent's write end; closing it stops the child
    struct Report {
        int ports[4] = {-1, -1, -1, -1};  // plain, TLS, raw plain, raw TLS
        char sha256[72] = {};
    } report;
    int Port(int mode) const { return report.ports[mode]; }
    int RawPort(int mode) const { return report.ports[2 + mode]; }
};

inline Emulator StartEmulator(const fs::path& root) {
    int report[2];
    int control[2];
    if (::pipe(report) != 0 || ::pipe(control) != 0)
        Die("pipe");
    const pid_t pid = ::fork();
    if (pid < 0)
        Die("fork");
    if (pid == 0) {
        ::close(report[0]);
        ::close(control[1]);
        mfpsim::ServerOptions o;
        o.root = root;
        o.rawPort = 0;
        o.rawTlsPort = 0;
        mfpsim::Server server(o);
        if (!server.Start()) {
            std::fprintf(stderr, "mfpsim: %s\n", server.Error().c_str());
            ::_exit(1);
        }
        Emulator::Report r;
        r.ports[0] = server.Port();
        r.ports[1] = server.TlsPort();
        r.ports[2] = server.RawPort();
        r.ports[3] = server.RawTlsPort();
        std::snprintf(r.sha256, sizeof r.sha256, "%s", server.CertificateSha256().c_str());
        if (::write(report[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
            char c;
            while (::read(control[0], &c, 1) > 0) {
            }
        }
        server.Stop();
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(control[0]);
    Emulator e;
    e.pid = pid;
    e.control = control[1];
    if (::read(report[0], &e.report, sizeof e.report) != static_cast<ssize_t>(sizeof e.report))
        Die("the emulator did not start");
    ::close(report[0]);
    return e;
}

inline void StopEmulator(Emulator& e) {
    if (e.pid < 0)
        return;
    ::close(e.control);
    int status = 0;
    ::waitpid(e.pid, &status, 0);
    e.pid = -1;
}

inline int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        Die("raw connect failed");
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct RawRun {
    double seconds = 0;
    double clientCpu = 0;  // CPU seconds of the receiving thread
    double senderCpu = 0;  // CPU seconds of the emulator meanwhile
    long long bytes = 0;
    std::string cipher;
    std::string tlsVersion;
};

struct RawOptions {
    // TLS when not empty: the raw client is held to this protocol and cipher.
    std::string tlsVersion;
    std::string cipher;
    bool readAhead = false;    // OpenSSL's read-ahead, as the library's client has it
    bool timeConnect = false;  // count the connection and handshake in the time too
};

// The raw copy: `size` bytes of the synthetic content from the emulator's benchmark
// listener at `port` into `file`, each 1 MiB buffer filled before it is written.
inline RawRun RawCopy(int port, long long size, const fs::path& file, const RawOptions& o,
                      pid_t sender) {
    RawRun run;
    const double cpu0 = ThreadCpu();
    const double sender0 = ProcessCpu(sender);
    const Clock::time_point start = Clock::now();
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    const int sock = ConnectLoopback(port);
    if (!o.cipher.empty()) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        if (o.readAhead) {
            SSL_CTX_set_read_ahead(ctx, 1);
            SSL_CTX_set_default_read_buffer_len(ctx, 64 << 10);
        }
        const int v = o.tlsVersion == "TLSv1.3" ? TLS1_3_VERSION : TLS1_2_VERSION;
        SSL_CTX_set_min_proto_version(ctx, v);
        SSL_CTX_set_max_proto_version(ctx, v);
        if (v == TLS1_3_VERSION ? SSL_CTX_set_ciphersuites(ctx, o.cipher.c_str()) != 1
                                : SSL_CTX_set_cipher_list(ctx, o.cipher.c_str()) != 1)
            Die("the raw client cannot use " + o.cipher);
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, sock);
        if (SSL_connect(ssl) != 1)
            Die("raw TLS handshake failed");
        run.cipher = SSL_get_cipher_name(ssl);
        run.tlsVersion = SSL_get_version(ssl);
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        Die("cannot create " + file.string());
    std::vector<unsigned char> buffer(kBuffer);
    const double cpu1 = o.timeConnect ? cpu0 : ThreadCpu();
    const double sender1 = o.timeConnect ? sender0 : ProcessCpu(sender);
    const Clock::time_point t0 = o.timeConnect ? start : Clock::now();
    // The count goes little-endian, as this machine stores it.
    const bool asked = ssl ? SSL_write(ssl, &size, sizeof size) == sizeof size
                           : ::send(sock, &size, sizeof size, MSG_NOSIGNAL) == sizeof size;
    if (!asked)
        Die("raw request failed");
    while (run.bytes < size) {
        std::size_t fill = 0;
        const std::size_t want =
            static_cast<std::size_t>(std::min<long long>(kBuffer, size - run.bytes));
        while (fill < want) {
            std::size_t got = 0;
            if (ssl) {
                if (SSL_read_ex(ssl, buffer.data() + fill, want - fill, &got) != 1)
                    Die("raw TLS read failed");
            } else {
                const ssize_t r = ::recv(sock, buffer.data() + fill, want - fill, 0);
                if (r <= 0)
                    Die("raw read failed");
                got = static_cast<std::size_t>(r);
            }
            fill += got;
        }
        if (!WriteAll(fd, buffer.data(), fill))
            Die("write failed");
        run.bytes += static_cast<long long>(fill);
    }
    ::close(fd);
    run.seconds = Seconds(t0, Clock::now());
    run.clientCpu = ThreadCpu() - cpu1;
    run.senderCpu = ProcessCpu(sender) - sender1;
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    ::close(sock);
    return run;
}

}  // namespace bench
