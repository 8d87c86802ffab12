// `vesk get` throughput: the command line downloading a large document as a whole
// process (fork and exec of the built vesk, with a profile of its own in which the
// emulator is registered), against a raw copy of the same bytes into a file, in one
// run, over plain TCP and TLS. Both are served by the same sender: the emulator in a
// child process streams the document to vesk and, on its benchmark listeners, the same
// prepared bytes unframed to the raw client, with the same writing code. The raw copy
// is timed whole too (connect, TLS handshake, every byte into its file), as vesk's
// process is from exec to exit.
//
// Printed per mode: the median rate of each side over R runs with their spread (min
// and max), the ratio of the medians (goal: at least 0.90 plain, 0.85 TLS), the
// client's CPU seconds per GiB (vesk: wait4's rusage of the process; raw: its thread),
// the sender's CPU seconds per GiB for each side, and the peak resident memory of the
// vesk process (ru_maxrss; goal under 16 MiB). Figures, not a test: nothing fails on
// speed.
//
//   bench_get_throughput [--vesk PATH] [--size-mib N] [--repeat R] [--mode plain|tls|both]
//                        [--dir DIR]
//   VESK_BENCH_PREFIX="strace -f -c -o FILE" (or perf record ...) runs vesk under a tool.
//   VESK_BENCH_SIZE_MIB=N sets the default size (1024 MiB without it); PATH defaults to
//   the vesk beside the bench folder (build/vesk). DIR (default $TMPDIR or /tmp) holds
//   the device folder, vesk's profile and both files: on a tmpfs such as /dev/shm the
//   disk stays out of the figures (on a disk, either side may be held up by the other's
//   write-back, which widens the spread).
//
// On a busy two-core machine: build Release (vesk and bench_get_throughput), then run
//   nice -n -5 build/bench/bench_get_throughput --repeat 7
// The runs of the two sides alternate, each after a sync and with each side's file
// removed right after its run (a run that starts just after a gibibyte of tmpfs pages was
// freed pays measurably more in the kernel's page allocator), and the medians keep a
// passing burst of other load from deciding the ratio; a smaller --size-mib shortens
// a run but weighs vesk's start-up (profile, connect, login) more.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/same_sender.h"
#include "tcpcore/tcpcore.h"

namespace {

using namespace bench;

struct Sample {
    double seconds = 0;
    double clientCpu = 0;
    double senderCpu = 0;
    long long maxRssKb = 0;
};

// Runs vesk with args in its own profile; its stdout and stderr go to log. Returns the
// exit status (-1 when it did not exit normally) and fills the sample.
int RunVesk(const std::string& vesk, const std::vector<std::string>& args, const fs::path& log,
            pid_t sender, Sample& s) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(vesk.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const double sender0 = ProcessCpu(sender);
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        Die("fork");
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || null < 0 || ::dup2(null, 0) < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0)
            ::_exit(127);
        // A profiler or tracer in front of vesk (e.g. "strace -c -o FILE"), to see where
        // its time goes; the figures then measure the pair.
        if (const char* prefix = std::getenv("VESK_BENCH_PREFIX"); prefix && *prefix) {
            std::vector<char*> wrapped = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                                          const_cast<char*>("exec $VESK_BENCH_PREFIX \"$@\""),
                                          const_cast<char*>("sh")};
            wrapped.insert(wrapped.end(), argv.begin(), argv.end());
            ::execv("/bin/sh", wrapped.data());
            ::_exit(127);
        }
        ::execv(vesk.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid)
        Die("wait4");
    s.seconds = Seconds(t0, Clock::now());
    s.senderCpu = ProcessCpu(sender) - sender0;
    s.clientCpu = CpuSeconds(ru);
    s.maxRssKb = ru.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Tail(const fs::path& log) {
    std::ifstream in(log);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

// The one file vesk wrote into dir.
fs::path OnlyFile(const fs::path& dir) {
    fs::path found;
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) {
            found = e.path();
            ++n;
        }
    if (n != 1)
        Die("vesk left " + std::to_string(n) + " files in " + dir.string() + ", not one");
    return found;
}

// The cipher and protocol version the library's client negotiates with the emulator,
// for the raw client to use the same.
void ClientCipher(int tlsPort, std::string& cipher, std::string& version) {
    CTcpCoreV31 c(49);
    int ua = 0, aa = 0, ps = 0;
    if (c.Initialize(1, nullptr) != 1 || c.Connect("127.0.0.1", tlsPort, ua, aa, ps, nullptr) != 1)
        Die("cannot reach the emulator over TLS");
    cipher = c.GetNegotiatedCipher();
    version = c.GetNegotiatedTlsVersion();
    c.Disconnect(1);
}

double MiBps(double seconds, long long bytes) {
    return static_cast<double>(bytes) / (1 << 20) / seconds;
}

struct Spread {
    double median = 0, min = 0, max = 0;
};
Spread Of(const std::vector<double>& v) {
    return {Median(v), *std::min_element(v.begin(), v.end()),
            *std::max_element(v.begin(), v.end())};
}

}  // namespace

int main(int argc, char** argv) {
    bench::g_name = "bench_get_throughput";
    long long sizeMib = 1024;
    if (const char* e = std::getenv("VESK_BENCH_SIZE_MIB"))
        sizeMib = std::atoll(e);
    int repeat = 5;
    bool plain = true, tls = true;
    std::string vesk;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc) {
            sizeMib = std::atoll(argv[++i]);
        } else if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (a == "--vesk" && i + 1 < argc) {
            vesk = argv[++i];
        } else if (a == "--mode" && i + 1 < argc) {
            const std::string m = argv[++i];
            plain = m != "tls";
            tls = m != "plain";
        } else {
            std::fprintf(stderr,
                         "usage: %s [--vesk PATH] [--size-mib N] [--repeat R] "
                         "[--mode plain|tls|both] [--dir DIR]\n"
                         "       VESK_BENCH_SIZE_MIB=N sets the default size (1024)\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizeMib <= 0)
        Die("the size must be positive");
    if (vesk.empty()) {
        std::error_code ec;
        vesk =
            (fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "vesk").string();
    }
    ::setenv("VESK_PASSWORD", "alice", 1);  // vesk takes no password argument
    if (::access(vesk.c_str(), X_OK) != 0)
        Die("no vesk program at " + vesk + " (build the vesk target or give --vesk)");
    // An odd tail, so the last frame and the last buffer are partial.
    const long long size = sizeMib * (1 << 20) + 12345;

    std::string tmpl = base + "/vesk-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        Die("cannot make a folder in " + base);
    const fs::path dir = tmpl;
    WriteDevice(dir / "device", size);
    Emulator sim = StartEmulator(dir / "device");

    const fs::path log = dir / "vesk.log";
    const std::string profile = (dir / "profile").string();
    const fs::path out = dir / "out";
    const fs::path rawFile = dir / "raw.bin";
    // One registration: pinned to the emulator's certificate, plain TCP allowed, each
    // run asking for its mode (--plain, --tls).
    Sample unused;
    if (RunVesk(vesk,
                {"--profile", profile, "device", "add", "bench", "127.0.0.1", "--port",
                 std::to_string(sim.Port(0)), "--ssl-port", std::to_string(sim.Port(1)),
                 "--fingerprint", sim.report.sha256, "--allow-plain", "yes"},
                log, sim.pid, unused) != 0)
        Die("vesk device add failed:\n" + Tail(log));

    std::printf("document: %lld bytes (%lld MiB + 12345), vesk %s, median of %d runs\n", size,
                sizeMib, vesk.c_str(), repeat);
    bool allMet = true;
    for (int mode : {0, 1}) {
        if ((mode == 0 && !plain) || (mode == 1 && !tls))
            continue;
        RawOptions raw;
        raw.timeConnect = true;
        if (mode == 1)
            ClientCipher(sim.Port(1), raw.cipher, raw.tlsVersion);
        const std::vector<std::string> get = {"--profile",
                                              profile,
                                              "get",
                                              "bench",
                                              std::to_string(kBox),
                                              std::to_string(kDocId),
                                              "-o",
                                              out.string(),
                                              "--quiet",
                                              "--user",
                                              "alice",
                                              mode ? "--tls" : "--plain"};
        auto ours = [&](Sample& s, bool verify) {
            fs::remove_all(out);
            fs::create_directories(out);
            ::sync();
            const int rc = RunVesk(vesk, get, log, sim.pid, s);
            if (rc != 0)
                Die("vesk get exited " + std::to_string(rc) + ":\n" + Tail(log));
            const fs::path file = OnlyFile(out);
            if (verify && !Verify(file, size))
                Die("vesk's file " + file.string() + " does not hold the document's bytes");
            if (static_cast<long long>(fs::file_size(file)) != size)
                Die("vesk's file has the wrong size");
            // Removed at once, as the raw copy's file is: neither side's run then begins
            // right after a gibibyte of page cache was freed.
            fs::remove_all(out);
        };
        Sample warm;
        ours(warm, true);  // libraries paged in, the device's certificate recorded

        std::vector<double> oursRate, rawRate, oursCpu, rawCpu, oursSender, rawSender;
        long long maxRssKb = 0;
        std::string rawCipher;
        for (int i = 0; i < repeat; ++i) {
            // The order alternates; each copy starts without the other's dirty pages.
            Sample o;
            RawRun r;
            for (int k = 0; k < 2; ++k) {
                if ((k == 0) == (i % 2 == 0)) {
                    ours(o, false);
                } else {
                    fs::remove(rawFile);
                    ::sync();
                    r = RawCopy(sim.RawPort(mode), size, rawFile, raw, sim.pid);
                    if (i == 0 && !Verify(rawFile, size))
                        Die("the raw copy does not hold the document's bytes");
                    fs::remove(rawFile);
                }
            }
            rawCipher = r.cipher;
            oursRate.push_back(MiBps(o.seconds, size));
            rawRate.push_back(MiBps(r.seconds, r.bytes));
            oursCpu.push_back(PerGib(o.clientCpu, size));
            rawCpu.push_back(PerGib(r.clientCpu, r.bytes));
            oursSender.push_back(PerGib(o.senderCpu, size));
            rawSender.push_back(PerGib(r.senderCpu, r.bytes));
            maxRssKb = std::max(maxRssKb, o.maxRssKb);
            std::printf(
                "  %s run %d: vesk %.1f MiB/s (CPU s/GiB: client %.2f, sender %.2f; peak %.1f "
                "MiB), raw %.1f MiB/s (client %.2f, sender %.2f)\n",
                mode ? "tls" : "tcp", i + 1, oursRate.back(), oursCpu.back(), oursSender.back(),
                static_cast<double>(o.maxRssKb) / 1024, rawRate.back(), rawCpu.back(),
                rawSender.back());
            std::fflush(stdout);
        }
        fs::remove_all(out);
        const Spread so = Of(oursRate), sr = Of(rawRate);
        const double ratio = so.median / sr.median;
        const double goal = mode == 0 ? 0.90 : 0.85;
        const double peakMib = static_cast<double>(maxRssKb) / 1024;
        const bool met = ratio >= goal && peakMib < 16;
        allMet = allMet && met;
        std::printf(
            "%s%s: vesk get %.1f MiB/s (min %.1f, max %.1f), raw copy %.1f MiB/s (min %.1f, "
            "max %.1f), ratio %.3f (goal >= %.2f)\n",
            mode ? "tls" : "tcp", mode ? (" " + raw.tlsVersion + " " + rawCipher).c_str() : "",
            so.median, so.min, so.max, sr.median, sr.min, sr.max, ratio, goal);
        std::printf(
            "%s CPU s/GiB (median): vesk %.2f, raw client %.2f; sender for vesk %.2f, for raw "
            "%.2f; vesk peak resident memory %.1f MiB (goal < 16 MiB)\n",
            mode ? "tls" : "tcp", Median(oursCpu), Median(rawCpu), Median(oursSender),
            Median(rawSender), peakMib);
        std::fflush(stdout);
    }
    StopEmulator(sim);
    fs::remove_all(dir);
    std::printf("%s\n", allMet ? "all goals met" : "a goal was missed");
    return 0;
}
