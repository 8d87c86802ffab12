#include "emulator_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/current_tcpcore.h"
#include "platform/charset.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {

std::string ModelId(int model, bool secondFamily) {
    return mfpsim::IdentifierForModel(model, secondFamily);
}

// ---------------------------------------------------------------- EmulatedDevice

EmulatedDevice::EmulatedDevice(const Edit& edit) {
    mfpsim::SampleOptions options;
    mfpsim::DeviceState state = mfpsim::SampleState(options);
    if (edit)
        edit(state);
    // The page images are not needed by these tests; the records are.
    mfpsim::Store store(std::filesystem::path(m_dir.path()) / "device");
    store.SetDurable(false);
    EXPECT_TRUE(store.SaveAll(state)) << "cannot write the emulated device";
}

EmulatedDevice::~EmulatedDevice() {
    Stop();
}

bool EmulatedDevice::Start(bool plain, bool tls) {
    mfpsim::ServerOptions options;
    options.root = std::filesystem::path(m_dir.path()) / "device";
    options.port = plain ? 0 : -1;
    options.tlsPort = tls ? 0 : -1;
    m_server = std::make_unique<mfpsim::Server>(options);
    const bool started = m_server->Start();
    EXPECT_TRUE(started) << m_server->Error();
    return started;
}

void EmulatedDevice::Stop() {
    if (m_server)
        m_server->Stop();
}

std::shared_ptr<mfpsim::Engine> EmulatedDevice::Engine() {
    if (m_server)
        return m_server->SharedEngine();
    if (!m_engine) {
        std::string error;
        m_engine = mfpsim::Engine::Open(std::filesystem::path(m_dir.path()) / "device", {}, error);
        EXPECT_TRUE(m_engine) << error;
    }
    return m_engine;
}

// ---------------------------------------------------------------- ScriptedLinks

struct ScriptedLinks::Shared {
    std::shared_ptr<mfpsim::Engine> engine;
    Script script;
    std::mutex mutex;
    std::vector<tc::Frame> requests;
};

namespace {

class ScriptedSession : public tc::DeviceSession {
public:
    explicit ScriptedSession(std::shared_ptr<ScriptedLinks::Shared> shared)
        : m_shared(std::move(shared)), m_inner(m_shared->engine->NewSession()) {}

    bool Handle(const tc::Frame& request, const tc::FrameEmitter& emit) override {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            m_shared->requests.push_back(request);
        }
        const ScriptedLinks::Script& script = m_shared->script;
        const tc::FrameEmitter rewrite = [&](const tc::Frame& frame) {
            if (!script.onReply)
                return emit(frame);
            tc::Frame changed = frame;
            script.onReply(changed);
            return emit(changed);
        };
        if (script.onRequest && script.onRequest(request, rewrite))
            return true;
        return m_inner->Handle(request, rewrite);
    }
    void OnClose() override { m_inner->OnClose(); }

private:
    std::shared_ptr<ScriptedLinks::Shared> m_shared;
    std::unique_ptr<mfpsim::EngineSession> m_inner;
};

}  // namespace

ScriptedLinks::ScriptedLinks(std::shared_ptr<mfpsim::Engine> engine, Script script)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->engine = std::move(engine);
    m_shared->script = std::move(script);
    std::shared_ptr<Shared> shared = m_shared;
    tc::SetLinkFactory([shared](const tc::LinkTarget&, const tc::WaitControl&,
                                tc::LinkStatus& status) -> std::unique_ptr<tc::DeviceLink> {
        status = tc::LinkStatus::kOk;
        return tc::MakeInProcessLink(std::make_unique<ScriptedSession>(shared));
    });
}

ScriptedLinks::~ScriptedLinks() {
    // The objects that used these links go first, so no link outlives its factory.
    delete vesk::SetCurrentTcpCore(nullptr);
    tc::SetLinkFactory({});
}

std::vector<tc::Frame> ScriptedLinks::Requests() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->requests;
}

tc::Frame FailureReply(const tc::Frame& request, int status) {
    return tc::MakeEmptyFrame(tc::FrameKind::kReply, request.op, request.seq, status);
}

// ---------------------------------------------------------------- DeviceFixture

std::string DefaultFilterText() {
    std::ifstream in(std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void DeviceFixture::SetUp() {
    RegistryFixture::SetUp();
    // Failures that wait for a time-out end quickly.
    CTcpCore::SetDefaultTimeouts(3000, 5000);
    vesk::SetTraceSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_traceMutex);
        m_trace.push_back(line);
    });

    m_appFolder = (IsolatedEnv::Root() / "application").string() + "/";
    std::filesystem::create_directories(m_appFolder);
    auto key =
        reg::Key::CreateOrOpen(reg::Hive::LocalMachine, L"SOFTWARE\\ORVANE\\HALD3.1\\Application");
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString(L"ApplicationPath", Utf8ToWide(m_appFolder)));
    WriteFilter(DefaultFilterText());

    m_root = std::make_unique<CVESKRoot>();
}

void DeviceFixture::TearDown() {
    m_root.reset();
    delete vesk::SetCurrentTcpCore(nullptr);
    tc::DropParkedLink();
    vesk::SetTraceSink(nullptr);
    RegistryFixture::TearDown();
}

CVESKMFPDevice* DeviceFixture::AddDevice(int port, int sslPort, int lastTCPComm) {
    ITEMINFO info;
    info.strName.Format(L"Device %d", ++m_registered);
    info.strIP = L"127.0.0.1";
    info.nPort = port;
    info.nPortSSL = sslPort;
    EXPECT_EQ(m_root->AddChildItem(info), 1);
    auto* device = DYNAMIC_DOWNCAST(CVESKMFPDevice, m_root->GetItemList()->GetTail());
    EXPECT_NE(device, nullptr);
    if (device)
        device->SetLastTCPComm(lastTCPComm);
    return device;
}

void DeviceFixture::WriteFilter(const std::string& text) {
    const std::string path = m_appFolder + "SrchMIB.conf";
    if (text.empty()) {
        std::filesystem::remove(path);
        return;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> DeviceFixture::TraceLines() {
    std::lock_guard<std::mutex> lock(m_traceMutex);
    return m_trace;
}

int DeviceFixture::ClosedPort() {
    // Bind to an ephemeral port, note it and close it again: nothing listens there.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0)
        ::close(fd);
    return port;
}

}  // namespace vesk::test
