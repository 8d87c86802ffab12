// Shared set-up for the emulator tests: a sample device generated once per test
// program and copied into a fresh folder for every test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_folder.h"
#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/sample.h"

namespace mfpsim::test {

using vesk::test::TempFolder;

// Page images at a low resolution keep generation quick; the content is the same kind.
inline constexpr int kTestDpi = 40;

// The sample device, written once per process.
inline const std::filesystem::path& SampleTemplate() {
    static TempFolder dir("mfpsim-test");
    static bool made = [] {
        std::string error;
        SampleOptions o;
        o.dpi = kTestDpi;
        bool ok = WriteSampleDevice(Store(dir.Path() / "device"), o, error);
        if (!ok) {
            ADD_FAILURE() << error;
        }
        return ok;
    }();
    (void)made;
    static std::filesystem::path device = dir.Path() / "device";
    return device;
}

// A private copy of the sample device for one test.
class DeviceFolder {
public:
    DeviceFolder() {
        std::filesystem::copy(SampleTemplate(), path(), std::filesystem::copy_options::recursive);
    }
    std::filesystem::path path() const { return dir_.Path() / "device"; }
    std::unique_ptr<Device> Open(const IdentityOverrides& o = {}) const {
        std::string error;
        auto d = Device::Open(path(), o, error);
        EXPECT_TRUE(d) << error;
        return d;
    }

private:
    TempFolder dir_{"mfpsim-test"};
};

// Sample ids and numbers the tests rely on.
inline constexpr int kSharedBox = 1;
inline constexpr int kAliceBox = 2;
inline constexpr int kSecureBox = 3;  // password "1234"
inline constexpr int kSalesBox = 4;   // owned by the account "sales"
inline constexpr int kBobBox = 5;     // owned by bob, password "bob"
inline constexpr int kFilingBox = 1001;
inline constexpr int kRxBox = 0;  // password "0000"

}  // namespace mfpsim::test
