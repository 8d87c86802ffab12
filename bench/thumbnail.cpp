// `vesk thumb --file` on an A4 300-dpi colour JPEG (2480 × 3508, photo-like synthetic
// content, quality 90, made here with libjpeg-turbo), timed as a whole process (fork,
// exec, exit), against two peers in the same run:
//   - the lower bound: turbojpeg_eighth (bench/peers), which decodes at 1/8 scale with
//     TurboJPEG and writes that as a quality-100 JPEG; vesk does the same work plus the
//     resampling to 240 pixels and its own start-up;
//   - vipsthumbnail -s 240 at quality 100 (Debian libvips-tools), when installed.
// Every run writes a fresh file (the previous output is removed first, outside the
// timing). The programs take turns, round by round, after two rounds not counted, so a
// burst of other load falls on all of them. Printed: median, min and max of the wall
// time and the median CPU time (user + system, wait4) per program, and the ratios of
// the medians to the lower bound (goal for vesk: at most 1.3). Figures, not a test.
//
//   bench_thumbnail [--vesk PATH] [--repeat R] [--dir DIR] [--keep]
// PATH defaults to the vesk beside the bench folder (build/vesk); DIR (default $TMPDIR
// or /tmp) holds the image and the outputs, in a folder that --keep leaves in place (to
// profile the programs on the same image).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/same_sender.h"
#include "platform/image_codec_posix.h"

namespace {

using namespace bench;
namespace img = vesk::imaging;

constexpr uint32_t kWidth = 2480;
constexpr uint32_t kHeight = 3508;

// Smooth shading in three colours, a few soft-edged shapes and a fine grain: coded
// about as densely as a scanned photograph (no flat areas, no sharp noise).
void WriteA4(const fs::path& path) {
    img::Pixels px;
    if (!px.Allocate(kWidth, kHeight))
        Die("out of memory");
    std::vector<double> sx[3], sy[3];
    for (int c = 0; c < 3; ++c) {
        sx[c].resize(kWidth);
        sy[c].resize(kHeight);
        for (uint32_t x = 0; x < kWidth; ++x)
            sx[c][x] = std::sin(x * (0.0031 + 0.0013 * c) + c) + 0.3 * std::sin(x * 0.021 + 2 * c);
        for (uint32_t y = 0; y < kHeight; ++y)
            sy[c][y] = std::cos(y * (0.0023 + 0.0007 * c) + 3 * c) + 0.3 * std::sin(y * 0.017);
    }
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < kHeight; ++y) {
        uint8_t* row = px.Row(y);
        for (uint32_t x = 0; x < kWidth; ++x) {
            seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
            const double grain = static_cast<int>(seed & 15) - 7.5;
            const double dx = (double(x) - 1240) / 700, dy = (double(y) - 1500) / 500;
            const double blob = 60 / (1 + std::exp(8 * (dx * dx + dy * dy - 1)));
            for (int c = 0; c < 3; ++c) {
                const double v = 128 + 45 * sx[c][x] + 35 * sy[c][y] +
                                 20 * sx[(c + 1) % 3][x] * sy[(c + 2) % 3][y] + blob * (c - 1) +
                                 grain;
                row[x * 4 + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
            }
            row[x * 4 + 3] = 255;
        }
    }
    std::string bytes;
    if (!img::EncodeJpeg(px, 90, 300, 300, bytes))
        Die("cannot encode the A4 image");
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
}

struct Run {
    double seconds = 0;
    double cpu = 0;
};

// The program as a whole process, its output to log; exits on failure.
Run Time(const std::vector<std::string>& args, const fs::path& out, const fs::path& log) {
    fs::remove(out);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        Die("fork");
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0)
            ::_exit(127);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid)
        Die("wait4");
    Run r{Seconds(t0, Clock::now()), CpuSeconds(ru)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fs::exists(out))
        Die(args[0] + " failed (see " + log.string() + ")");
    return r;
}

struct Peer {
    std::string name;
    std::vector<std::string> args;
    fs::path out;
    std::vector<Run> runs;
};

double MedianOf(const std::vector<Run>& runs, double Run::*field) {
    std::vector<double> v;
    for (const Run& r : runs)
        v.push_back(r.*field);
    return Median(v);
}

std::string JpegSize(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    img::FrameInfo info;
    if (!img::JpegInfo({bytes.data(), bytes.size()}, info))
        return "not a JPEG";
    return std::to_string(info.width) + "x" + std::to_string(info.height);
}

}  // namespace

int main(int argc, char** argv) {
    bench::g_name = "bench_thumbnail";
    int repeat = 15;
    bool keep = false;
    std::string vesk;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--vesk" && i + 1 < argc) {
            vesk = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--vesk PATH] [--repeat R] [--dir DIR] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec).parent_path();
    if (vesk.empty())
        vesk = (self.parent_path() / "vesk").string();
    const std::string peer = (self / "turbojpeg_eighth").string();
    for (const std::string& p : {vesk, peer})
        if (::access(p.c_str(), X_OK) != 0)
            Die("no program at " + p + " (build the vesk and turbojpeg_eighth targets)");

    std::string tmpl = base + "/vesk-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        Die("cannot make a folder in " + base);
    const fs::path dir = tmpl;
    const fs::path a4 = dir / "A4.jpg";
    WriteA4(a4);
    const fs::path log = dir / "log";

    std::vector<Peer> peers = {
        {"vesk thumb --file", {vesk, "thumb", "--file", a4, "-o", dir / "vesk.jpg"}, {}, {}},
        {"turbojpeg 1/8 + q100", {peer, a4, dir / "tj.jpg"}, {}, {}},
        {"vipsthumbnail -s 240",
         {"vipsthumbnail", a4, "-s", "240", "-o", (dir / "vips.jpg").string() + "[Q=100]"},
         {},
         {}},
    };
    peers[0].out = dir / "vesk.jpg";
    peers[1].out = dir / "tj.jpg";
    peers[2].out = dir / "vips.jpg";
    if (std::system("command -v vipsthumbnail >/dev/null 2>&1") != 0) {
        std::printf("vipsthumbnail not found (Debian libvips-tools): left out\n");
        peers.pop_back();
    }

    std::printf("source %s: %ux%u, %ju bytes; %d runs each after 2 not counted\n", a4.c_str(),
                kWidth, kHeight, static_cast<uintmax_t>(fs::file_size(a4)), repeat);
    for (int round = -2; round < repeat; ++round) {
        for (size_t k = 0; k < peers.size(); ++k) {
            Peer& p = peers[(k + static_cast<size_t>(round + 2)) % peers.size()];
            const Run r = Time(p.args, p.out, log);
            if (round >= 0)
                p.runs.push_back(r);
        }
    }

    const double bound = MedianOf(peers[1].runs, &Run::seconds);
    std::printf("%-22s %9s %9s %9s %9s %7s  output\n", "program", "median", "min", "max", "cpu",
                "ratio");
    for (const Peer& p : peers) {
        double lo = 1e9, hi = 0;
        for (const Run& r : p.runs)
            lo = std::min(lo, r.seconds), hi = std::max(hi, r.seconds);
        const double med = MedianOf(p.runs, &Run::seconds);
        std::printf("%-22s %7.1fms %7.1fms %7.1fms %7.1fms %6.2fx  %s\n", p.name.c_str(), med * 1e3,
                    lo * 1e3, hi * 1e3, MedianOf(p.runs, &Run::cpu) * 1e3, med / bound,
                    JpegSize(p.out).c_str());
    }
    const double ratio = MedianOf(peers[0].runs, &Run::seconds) / bound;
    std::printf("vesk / lower bound: %.2f (goal at most 1.30)%s\n", ratio,
                ratio <= 1.3 ? "" : "  ABOVE GOAL");
    if (keep)
        std::printf("kept %s\n", dir.c_str());
    else
        fs::remove_all(dir, ec);
    return 0;
}
