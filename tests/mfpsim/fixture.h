// Shared set-up for the emulator tests: a private copy of the sample device (the one the
// other test programs use, from support) opened directly, without a server.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "support/sim_local.h"
#include "support/temp_folder.h"
#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/sample.h"

namespace mfpsim::test {

using vesk::test::kAliceBox;
using vesk::test::kFilingBox;
using vesk::test::kRxBox;
using vesk::test::kSalesBox;
using vesk::test::kSecureBox;
using vesk::test::kSharedBox;
using vesk::test::TempFolder;

// The resolution of the sample's page images.
inline constexpr int kTestDpi = 40;

class DeviceFolder {
public:
    std::filesystem::path path() const { return RootOf(m_sim); }
    std::unique_ptr<Device> Open(const IdentityOverrides& o = {}) const {
        std::string error;
        auto d = Device::Open(path(), o, error);
        EXPECT_TRUE(d) << error;
        return d;
    }

private:
    vesk::test::SimDevice m_sim;
};

}  // namespace mfpsim::test
