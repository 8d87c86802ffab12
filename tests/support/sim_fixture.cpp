#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/current_tcpcore.h"
#include "platform/trace.h"
#include "support/loopback.h"
#include "tcpcore/wire.h"

namespace vesk::test {

SimConnection ConnectRoad(int mode, int port, std::string& why, const char* unitName,
                          QTCP_COMMSTATE_CALLBACK cb) {
    SimConnection c;
    auto probe = std::make_unique<CTcpCoreV20>();
    if (!probe->Initialize(mode, nullptr)) {
        why = "Initialize failed";
        return c;
    }
    int canceled = 0;
    int opened = 0;
    if (!probe->GetDeviceInfo(&c.info, c.major, c.minor, "127.0.0.1", canceled, opened, port, 5, 12,
                              12, cb)) {
        LastError e = ErrorOf(*probe);
        why = "GetDeviceInfo failed with " + std::to_string(e.code);
        return c;
    }
    c.probeRoundTrips = probe->GetRoundTripCount();
    probe->Uninitialize();
    probe.reset();

    CTcpCore factory;
    std::unique_ptr<CTcpCore> core(factory.GetTcpCoreObject(c.major, c.minor));
    if (!core) {
        why = "no class for version " + std::to_string(c.major) + "." + std::to_string(c.minor);
        return c;
    }
    c.tcpVersion = factory.GetTcpVersion();
    if (!core->Initialize(mode, unitName)) {
        why = "Initialize of the session object failed";
        return c;
    }
    core->SetCallbackCommunicate(cb);
    if (!core->Connect("127.0.0.1", port, c.userAuthType, c.accountAuthType, c.publicSupport, cb)) {
        LastError e = ErrorOf(*core);
        why = "Connect failed with " + std::to_string(e.code) + "/" + std::to_string(e.detail);
        return c;
    }
    c.core = std::move(core);
    return c;
}

LastError ErrorOf(CTcpCore& core) {
    LastError e;
    core.GetLastErrorCode(e.code, e.detail);
    return e;
}

bool ReadWhole(CTcpCore& core, std::vector<unsigned char>& out, std::string& why, int bufferSize) {
    out.clear();
    std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize));
    for (;;) {
        const int n = core.ReadDocument(buffer.data(), bufferSize);
        if (n == 0)
            return true;
        if (n < 0) {
            LastError e = ErrorOf(core);
            why = "ReadDocument gave " + std::to_string(n) + " after " +
                  std::to_string(out.size()) + " bytes, code " + std::to_string(e.code);
            return false;
        }
        if (n > bufferSize) {
            why = "ReadDocument reported more than the buffer holds";
            return false;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
}

const tagUTIL_DOCINFO* FindDoc(const std::vector<tagUTIL_DOCINFO>& docs, const std::string& name) {
    for (const tagUTIL_DOCINFO& d : docs)
        if (name == d.szDocName)
            return &d;
    return nullptr;
}

const tagUTIL_BOXINFO* FindBox(const std::vector<tagUTIL_BOXINFO>& boxes, long number) {
    for (const tagUTIL_BOXINFO& b : boxes)
        if (b.lBoxNo == number)
            return &b;
    return nullptr;
}

std::string ModelId(int model, bool secondFamily) {
    return mfpsim::IdentifierForModel(model, secondFamily);
}

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

    m_appFolder = UseApplicationFolder(IsolatedEnv::Root() / "application");
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
    return ClosedLoopbackPort();
}

}  // namespace vesk::test
