// The device item against emulators of its own. Each emulator a test starts lives until
// the test ends, so one test can connect several items, one after another or at once.
#pragma once

#include <memory>
#include <vector>

#include "support/sim_fixture.h"

namespace vesk::test {

// What a sample device reports at connect: its version, login types and model.
struct Reported {
    int major = 4;
    int minor = 11;
    int userAuth = 0;
    int accountAuth = 0;
    int model = 140;
};

class ItemFixture : public DeviceFixture {
protected:
    void TearDown() override {
        m_emulators.clear();
        DeviceFixture::TearDown();
    }

    // An emulator reporting r, with edit applied after, serving as asked (neither: not
    // started, for scripted links).
    SimDevice& Emulator(const Reported& r, const SimEdit& edit = {}, bool plain = true,
                        bool tls = false) {
        m_emulators.push_back(std::make_unique<SimDevice>([r, edit](mfpsim::DeviceState& st) {
            st.identity.identifier = ModelId(r.model);
            st.identity.major = r.major;
            st.identity.minor = r.minor;
            st.identity.userAuthType = r.userAuth;
            st.identity.accountAuthType = r.accountAuth;
            if (edit)
                edit(st);
        }));
        if (plain || tls) {
            EXPECT_TRUE(m_emulators.back()->Start(plain, tls));
        }
        return *m_emulators.back();
    }

    // An item for emu (a closed port for a mode it does not serve), connected; the
    // connect must give expected.
    CVESKMFPDevice* Connect(SimDevice& emu, int expected, int lastTCPComm = -1) {
        CVESKMFPDevice* d =
            AddDevice(emu.Port() > 0 ? emu.Port() : ClosedPort(),
                      emu.TlsPort() > 0 ? emu.TlsPort() : ClosedPort(), lastTCPComm);
        EXPECT_EQ(d->Connect(nullptr, L""), expected);
        return d;
    }
    CVESKMFPDevice* Connect(const Reported& r, int expected, const SimEdit& edit = {}) {
        return Connect(Emulator(r, edit), expected);
    }

    // The session state of an item, compared at once: connected, via SSL, last mode,
    // user type, account type, box login, items held.
    using State = std::vector<long>;
    static State StateOf(CVESKMFPDevice* d) {
        return {d->GetConnected(),
                d->IsConnectedViaSSL(),
                d->GetLastTCPComm(),
                d->GetUserType(),
                d->GetAccountType(),
                d->GetBoxLogin(),
                static_cast<long>(d->GetItemList()->GetCount())};
    }
    // After a session ended (a plain one).
    static State Ended() { return {0, -1012, 0, -1, -1, 0, 0}; }

    static int UserLogin(CVESKMFPDevice* d, const wchar_t* name, const wchar_t* password) {
        int result = 0;
        return d->UserLogin(name, password, nullptr, result);
    }
    static int AccountLogin(CVESKMFPDevice* d, const wchar_t* name, const wchar_t* password) {
        int result = 0;
        return d->AccountLogin(name, password, nullptr, result);
    }

private:
    std::vector<std::unique_ptr<SimDevice>> m_emulators;
};

}  // namespace vesk::test
