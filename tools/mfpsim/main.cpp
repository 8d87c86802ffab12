// mfpsim: a multifunction-device emulator speaking the device protocol over TCP and
// TLS, serving the boxes and documents of a device folder.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/ini.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/mfpsim/lib/server.h"
#include "tools/mfpsim/lib/service.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: mfpsim --root DIR [--port N] [--tls-port M] [--host ADDR]\n"
                 "              [--identity OID] [--version MAJOR.MINOR] [--model N]\n"
                 "              [--cert PEM --key PEM] [--fault KEY=VALUE]... [--port-file FILE]\n"
                 "              [--init] [--force] [--raw-port N] [--raw-tls-port M]\n"
                 "       mfpsim --init DIR [--force] [--dpi N]\n"
                 "       mfpsim --service [--host ADDR] [--port N] [--port-file FILE] [--dpi N]\n"
                 "       mfpsim --version\n"
                 "\n"
                 "Serves the device in DIR (a missing or empty DIR receives the sample device).\n"
                 "Ports default to 0 (a free port is chosen and printed); -1 disables one.\n"
                 "--init writes the sample device into DIR; alone it then exits. --force lets\n"
                 "it replace an existing device folder. --fault sets fault-injection keys as\n"
                 "faults.ini in the device folder would (see tools/mfpsim/lib/faults.h).\n"
                 "--version MAJOR.MINOR is the protocol version the device speaks; alone,\n"
                 "--version prints the version of mfpsim.\n"
                 "--raw-port and --raw-tls-port (benchmarks) serve unframed synthetic bytes: a\n"
                 "client sends a count (8 bytes, little-endian) and reads that many.\n"
                 "--service listens for test programs that start and control emulators on\n"
                 "copies of the sample device (see tools/mfpsim/README.md).\n");
}

bool ParseInt(const char* s, int& out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!s[0] || *end || v < -1 || v > 1000000) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// Removes a folder only when it is recognisably a device folder.
bool ClearDeviceFolder(const std::filesystem::path& dir, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec) || std::filesystem::is_empty(dir, ec)) {
        return true;
    }
    if (!std::filesystem::exists(dir / "device.ini", ec)) {
        error = dir.string() + " is not empty and is not a device folder; not touching it";
        return false;
    }
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::filesystem::remove_all(e.path(), ec);
    }
    return true;
}

// Blocks SIGINT and SIGTERM in every thread; the caller waits for them with sigwait.
sigset_t BlockStopSignals() {
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    return sigs;
}

int RunService(const mfpsim::ServerOptions& options, int dpi, const std::string& portFile) {
    const std::filesystem::path tmp = std::filesystem::temp_directory_path();
    std::string work = (tmp / "mfpsim-service-XXXXXX").string();
    if (!::mkdtemp(work.data())) {
        std::fprintf(stderr, "mfpsim: cannot make a work folder in %s\n", tmp.c_str());
        return 1;
    }
    sigset_t sigs = BlockStopSignals();
    mfpsim::ServiceOptions so;
    so.host = options.host;
    so.port = std::max(options.port, 0);
    so.work = work;
    if (dpi > 0) {
        so.dpi = dpi;
    }
    int rc = 0;
    {
        mfpsim::Service service(so);
        if (!service.Start()) {
            std::fprintf(stderr, "mfpsim: %s\n", service.Error().c_str());
            rc = 1;
        } else {
            std::printf("service-port %d\n", service.Port());
            if (!portFile.empty()) {
                const std::string text = "port=" + std::to_string(service.Port()) + "\n";
                mfpsim::WriteFileAtomic(portFile, text.data(), text.size());
            }
            std::printf("ready\n");
            std::fflush(stdout);
            int sig = 0;
            sigwait(&sigs, &sig);
            service.Stop();
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    mfpsim::ServerOptions options;
    options.port = 0;
    options.tlsPort = 0;
    bool init = false;
    bool force = false;
    bool serveAsked = false;
    int dpi = 0;
    std::string portFile;
    mfpsim::KeyValues faultKeys;
    bool anyFault = false;
    bool service = false;

    // Alone, --version is the program's; with a value it is the device's protocol.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mfpsim " VESK_VERSION "\n");
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mfpsim: %s needs a value\n", what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--root") {
            options.root = value("--root");
        } else if (a == "--init") {
            init = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options.root = argv[++i];
            }
        } else if (a == "--service") {
            service = true;
        } else if (a == "--force") {
            force = true;
        } else if (a == "--port" || a == "--tls-port" || a == "--model" || a == "--dpi" ||
                   a == "--raw-port" || a == "--raw-tls-port") {
            int v = 0;
            if (!ParseInt(value(a.c_str()), v)) {
                std::fprintf(stderr, "mfpsim: bad number for %s\n", a.c_str());
                return 2;
            }
            if (a == "--port") {
                options.port = v;
                serveAsked = true;
            } else if (a == "--tls-port") {
                options.tlsPort = v;
                serveAsked = true;
            } else if (a == "--raw-port") {
                options.rawPort = v;
            } else if (a == "--raw-tls-port") {
                options.rawTlsPort = v;
            } else if (a == "--model") {
                options.identity.model = v;
            } else {
                dpi = v;
            }
        } else if (a == "--host") {
            options.host = value("--host");
        } else if (a == "--identity") {
            options.identity.identifier = value("--identity");
        } else if (a == "--version") {
            const char* v = value("--version");
            int major = 0;
            int minor = 0;
            char extra = 0;
            if (std::sscanf(v, "%d.%d%c", &major, &minor, &extra) != 2 || major < 1 || major > 9 ||
                minor < 0 || minor > 99) {
                std::fprintf(stderr, "mfpsim: --version wants MAJOR.MINOR, e.g. 4.11\n");
                return 2;
            }
            options.identity.major = major;
            options.identity.minor = minor;
        } else if (a == "--cert") {
            options.certFile = value("--cert");
        } else if (a == "--key") {
            options.keyFile = value("--key");
        } else if (a == "--port-file") {
            portFile = value("--port-file");
        } else if (a == "--fault") {
            std::string kv = value("--fault");
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                std::fprintf(stderr, "mfpsim: --fault wants KEY=VALUE\n");
                return 2;
            }
            faultKeys.Set(kv.substr(0, eq), kv.substr(eq + 1));
            anyFault = true;
        } else {
            std::fprintf(stderr, "mfpsim: unknown argument %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (service) {
        return RunService(options, dpi, portFile);
    }
    if (options.root.empty()) {
        Usage(stderr);
        return 2;
    }

    if (init) {
        std::string error;
        if (force && !ClearDeviceFolder(options.root, error)) {
            std::fprintf(stderr, "mfpsim: %s\n", error.c_str());
            return 1;
        }
        mfpsim::Store store(options.root);
        std::error_code ec;
        std::filesystem::create_directories(options.root, ec);
        if (!store.IsEmpty() || !std::filesystem::is_empty(options.root, ec)) {
            std::fprintf(stderr,
                         "mfpsim: %s already holds files (use --force to replace a device)\n",
                         options.root.c_str());
            return 1;
        }
        mfpsim::SampleOptions so;
        if (dpi > 0) {
            so.dpi = dpi;
        }
        if (!mfpsim::WriteSampleDevice(store, so, error)) {
            std::fprintf(stderr, "mfpsim: %s\n", error.c_str());
            return 1;
        }
        std::printf("sample device written to %s\n", options.root.c_str());
        if (!serveAsked) {
            return 0;
        }
    }

    // Signals are taken by this thread only; server threads never see them.
    sigset_t sigs = BlockStopSignals();

    mfpsim::Server server(options);
    if (!server.Start()) {
        std::fprintf(stderr, "mfpsim: %s\n", server.Error().c_str());
        return 1;
    }
    if (anyFault) {
        server.GetEngine().GetFaults().Set(mfpsim::FaultConfig::FromKeyValues(faultKeys));
    }
    mfpsim::Identity id = server.GetEngine().GetDevice().GetIdentity();
    std::printf("mfpsim: device %s, version %d.%d, folder %s\n", id.identifier.c_str(), id.major,
                id.minor, options.root.c_str());
    if (server.Port() > 0) {
        std::printf("port %d\n", server.Port());
    }
    if (server.TlsPort() > 0) {
        std::printf("tls-port %d\n", server.TlsPort());
        std::printf("tls-sha256 %s\n", server.CertificateSha256().c_str());
    }
    if (server.RawPort() > 0) {
        std::printf("raw-port %d\n", server.RawPort());
    }
    if (server.RawTlsPort() > 0) {
        std::printf("raw-tls-port %d\n", server.RawTlsPort());
    }
    // The port file is in place before "ready": a script that waits for the line may
    // read the file at once.
    if (!portFile.empty()) {
        std::string text = "port=" + std::to_string(server.Port()) +
                           "\ntls-port=" + std::to_string(server.TlsPort()) + "\n";
        if (server.RawPort() > 0) {
            text += "raw-port=" + std::to_string(server.RawPort()) + "\n";
        }
        if (server.RawTlsPort() > 0) {
            text += "raw-tls-port=" + std::to_string(server.RawTlsPort()) + "\n";
        }
        mfpsim::WriteFileAtomic(portFile, text.data(), text.size());
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&sigs, &sig);
    std::printf("mfpsim: stopping on %s\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    server.Stop();
    return 0;
}
