// The device facade of the tests behaves the same whether the emulator runs in this
// process or behind the control service, as it does for the Windows test programs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "support/sim_fixture.h"
#include "support/temp_folder.h"
#include "tools/mfpsim/lib/service.h"

namespace vesk::test {
namespace {

class SimFacade : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!GetParam())
            return;
        mfpsim::ServiceOptions o;
        o.work = m_work.Path();
        m_service = std::make_unique<mfpsim::Service>(o);
        ASSERT_TRUE(m_service->Start()) << m_service->Error();
    }
    std::string Address() const {
        return m_service ? "127.0.0.1:" + std::to_string(m_service->Port()) : "";
    }

    TempFolder m_work{"vesk-sim-service"};
    std::unique_ptr<mfpsim::Service> m_service;
};

TEST_P(SimFacade, StartsEditsReportsAndFailsOnRequest) {
    SimOptions o;
    o.overrides.major = 3;
    o.overrides.minor = 1;
    o.edit = [](mfpsim::DeviceState& s) { s.boxes[kSharedBox].name = "Edited <&> ü"; };
    o.service = Address();
    {
        SimDevice sim(o);
        ASSERT_TRUE(sim.Start(true, true));
        EXPECT_GT(sim.TlsPort(), 0);
        EXPECT_EQ(sim.CertificateSha256().size(), 64u);
        EXPECT_EQ(sim.State().boxes[kSharedBox].name, "Edited <&> ü");

        for (int mode : {0, 1}) {
            std::string why;
            SimConnection c = ConnectRoad(mode, sim.Port(mode), why);
            ASSERT_TRUE(c.core) << why;
            EXPECT_EQ(c.major * 100 + c.minor, 301);
        }
        EXPECT_GE(sim.AcceptedConnections(), 2);

        std::string why;
        SimConnection c = ConnectRoad(0, sim.Port(), why);
        ASSERT_TRUE(c.core) << why;
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        ASSERT_EQ(c.core->UserLogin2("alice", 5, "alice", perm), 1);
        mfpsim::FaultConfig faults;
        faults.errors.push_back({"BoxList", 8175, 3, 0, -1});
        sim.SetFaults(faults);
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_NE(c.core->GetBoxList(boxes), 1);
        EXPECT_EQ(ErrorOf(*c.core).code, 8175);
        sim.ClearFaults();
        ASSERT_EQ(c.core->GetBoxList(boxes), 1);
        const tagUTIL_BOXINFO* box = FindBox(boxes, kSharedBox);
        ASSERT_TRUE(box);
        EXPECT_STREQ(box->szBoxName, "Edited <&> ü");

        EXPECT_EQ(sim.Requests<tc::IntMessage>(tc::Op::kBoxList).size(), 2u);
        EXPECT_GE(sim.RequestCount(), 2);
        sim.ClearJournal();
        EXPECT_TRUE(sim.Journal().empty());
        // The two closed connections end in the emulator's own time (later still behind
        // the service on a busy machine).
        for (int i = 0; i < 250 && sim.ActiveConnections() != 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(sim.ActiveConnections(), 1);
    }
    // What the client started ends with its connection.
    if (m_service) {
        auto left = [&] {
            int n = 0;
            for (const auto& e : std::filesystem::directory_iterator(m_work.Path()))
                n += e.path().filename().string().rfind("instance-", 0) == 0;
            return n;
        };
        for (int i = 0; i < 100 && left() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(left(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, SimFacade, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Service" : "InProcess"; });

}  // namespace
}  // namespace vesk::test
