// The emulator in this process, and the control service's channel over POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/sim_local.h"
#include "support/temp_folder.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/mfpsim/lib/service.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {

namespace fs = std::filesystem;

namespace {

// Low-resolution pages keep generation quick; the documents are the same kind.
constexpr int kSampleDpi = 40;

// Where generated sample devices are kept between test processes (ctest runs each test
// in a process of its own, several at once): the build folder, one folder per program,
// keyed by the program's file, which is relinked whenever the emulator changes.
fs::path SampleCacheDir() {
#ifdef VESK_BINARY_DIR
    struct stat st {};
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || ::stat("/proc/self/exe", &st) != 0)
        return {};
    return fs::path(VESK_BINARY_DIR) / "sim-sample" / exe.filename() /
           (std::to_string(st.st_size) + "-" + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec));
#else
    return {};
#endif
}

bool WriteSample(const fs::path& device, std::string& error) {
    mfpsim::SampleOptions o;
    o.dpi = kSampleDpi;
    return mfpsim::WriteSampleDevice(mfpsim::Store(device), o, error);
}

// The sample device: from the cache when it is there, else generated (into the cache
// when the build folder can take it, else into a folder of this process).
const fs::path& SampleTemplate(std::string& error) {
    static TempFolder local{"vesk-sim-sample"};
    static std::string failure;
    static const fs::path device = []() -> fs::path {
        const fs::path cache = SampleCacheDir();
        std::error_code ec;
        if (!cache.empty() && fs::exists(cache / "device" / "device.ini", ec))
            return cache / "device";
        if (!cache.empty()) {
            fs::create_directories(cache.parent_path(), ec);
            // Built beside its final place and renamed there, so a parallel test never
            // sees half a device; the loser of a race drops its own.
            std::string tmpl = (cache.parent_path() / "new-XXXXXX").string();
            if (!ec && ::mkdtemp(tmpl.data())) {
                const fs::path tmp = tmpl;
                if (WriteSample(tmp / "device", failure)) {
                    // Samples of earlier builds of this program go; never the current
                    // one, which a parallel process may have put there and be copying.
                    for (const auto& e : fs::directory_iterator(cache.parent_path(), ec)) {
                        const std::string name = e.path().filename().string();
                        if (name != cache.filename().string() && name.rfind("new-", 0) != 0)
                            fs::remove_all(e.path(), ec);
                    }
                    // Fails harmlessly when a parallel process got there first.
                    fs::rename(tmp, cache, ec);
                }
                fs::remove_all(tmp, ec);
                if (fs::exists(cache / "device" / "device.ini", ec))
                    return cache / "device";
            }
        }
        const fs::path p = local.Path() / "device";
        return WriteSample(p, failure) ? p : fs::path();
    }();
    error = failure;
    return device;
}

class LocalBackend : public SimDevice::Backend {
public:
    bool Create(const SimOptions& options, std::string& error) override {
        const fs::path& sample = SampleTemplate(error);
        if (sample.empty()) {
            error = "no sample device: " + error;
            return false;
        }
        mfpsim::DeviceState state;
        if (options.edit) {
            std::vector<std::string> warnings;
            if (!mfpsim::Store(sample).Load(state, warnings)) {
                error = "cannot load the sample device";
                return false;
            }
            options.edit(state);
        }
        const fs::path root = m_dir.Path() / "device";
        if (!mfpsim::Instance::Prepare(sample, root, options.edit ? &state : nullptr, error))
            return false;
        m_instance = std::make_unique<mfpsim::Instance>(root, options.overrides);
        return true;
    }
    bool Start(bool plain, bool tls, std::string& error) override {
        return m_instance->Start(plain, tls, error);
    }
    int Port(int mode) const override {
        const mfpsim::Server* s = m_instance->GetServer();
        return !s ? -1 : mode == 1 ? s->TlsPort() : s->Port();
    }
    std::string CertificateSha256() const override {
        const mfpsim::Server* s = m_instance->GetServer();
        return s ? s->CertificateSha256() : "";
    }
    void Stop() override { m_instance->Stop(); }
    bool State(mfpsim::DeviceState& state, std::string& error) override {
        auto engine = m_instance->GetEngine(error);
        if (engine)
            state = engine->GetDevice().Snapshot();
        return engine != nullptr;
    }
    bool SetFaults(const mfpsim::FaultConfig& faults, std::string& error) override {
        auto engine = m_instance->GetEngine(error);
        if (engine)
            engine->GetFaults().Set(faults);
        return engine != nullptr;
    }
    bool Journal(std::vector<tc::Frame>& frames, int64_t& count, std::string& error) override {
        auto engine = m_instance->GetEngine(error);
        if (!engine)
            return false;
        frames = engine->Journal();
        count = engine->RequestCount();
        return true;
    }
    bool ClearJournal(std::string& error) override {
        auto engine = m_instance->GetEngine(error);
        if (engine)
            engine->ClearJournal();
        return engine != nullptr;
    }
    bool Connections(int& active, int64_t& accepted, std::string&) override {
        mfpsim::Server* s = m_instance->GetServer();
        active = s ? s->ActiveConnections() : 0;
        accepted = s ? s->AcceptedConnections() : 0;
        return true;
    }
    const fs::path& Root() const override {
        static const fs::path none;
        return m_instance ? m_instance->Root() : none;
    }

    mfpsim::Instance& Get() { return *m_instance; }

private:
    TempFolder m_dir{"vesk-sim"};
    std::unique_ptr<mfpsim::Instance> m_instance;
};

LocalBackend& Local(SimDevice& device) {
    auto* local = dynamic_cast<LocalBackend*>(&device.GetBackend());
    if (!local)
        throw std::logic_error("the emulator runs in another process");
    return *local;
}

}  // namespace

std::unique_ptr<SimDevice::Backend> MakeDefaultSimBackend() {
    return std::make_unique<LocalBackend>();
}

std::shared_ptr<mfpsim::Engine> EngineOf(SimDevice& device) {
    std::string error;
    std::shared_ptr<mfpsim::Engine> engine = Local(device).Get().GetEngine(error);
    EXPECT_TRUE(engine) << error;
    return engine;
}

mfpsim::Server& ServerOf(SimDevice& device) {
    mfpsim::Server* server = Local(device).Get().GetServer();
    if (!server)
        throw std::logic_error("the emulator was not started");
    return *server;
}

fs::path FromServicePath(const std::string& path) {
    return path;
}

SimChannel::~SimChannel() {
    if (m_socket >= 0)
        ::close(static_cast<int>(m_socket));
}

bool SimChannel::Connect(const std::string& address, std::string& error) {
    const size_t colon = address.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(address.c_str() + colon + 1)));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (colon == std::string::npos || fd < 0 ||
        ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &a.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = "cannot reach the emulator service at " + address + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_socket = fd;
    return true;
}

bool SimChannel::Send(const std::string& text) {
    size_t sent = 0;
    while (m_socket >= 0 && sent < text.size()) {
        const ssize_t n = ::send(static_cast<int>(m_socket), text.data() + sent, text.size() - sent,
                                 MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return sent == text.size();
}

long SimChannel::Receive(char* into, size_t size) {
    for (;;) {
        const ssize_t n = m_socket >= 0 ? ::recv(static_cast<int>(m_socket), into, size, 0) : -1;
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

}  // namespace vesk::test
