// The item tree against the emulator, parameterised on the transport (0 plain TCP,
// 1 TLS): a registered device, connected and logged in, its boxes by number, and how
// many requests the emulator has seen.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "box/mfp_box.h"
#include "support/sim_fixture.h"

namespace vesk::test {

class BoxFixture : public DeviceFixture, public ::testing::WithParamInterface<int> {
protected:
    void TearDown() override;

    // Starts the sample device changed by edit, connects to it over the test's transport
    // and logs in as alice; null (with a failure recorded) when a step fails.
    CVESKMFPDevice* Open(const SimEdit& edit = {});
    // Opens the device, lists its boxes and logs into box number with password.
    CVESKMFPBox* OpenBox(long number, const wchar_t* password = L"", const SimEdit& edit = {});

    SimDevice& Sim() { return *m_sim; }
    CVESKMFPDevice& Device() { return *m_device; }
    // The listed box with that number (a filing-number box when filing), or null.
    CVESKMFPBox* Box(long number, bool filing = false);
    // The ids of a list's items, in order.
    static std::vector<long> Ids(CVESKItemList* list);
    int64_t Requests() { return m_sim->RequestCount(); }

private:
    std::unique_ptr<SimDevice> m_sim;
    CVESKMFPDevice* m_device = nullptr;
};

}  // namespace vesk::test
