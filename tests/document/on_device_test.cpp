// CVESKDocument on a device: the predicates against devices of each protocol and
// restriction, and the rename.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "box/mfp_box.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "support/data_table.h"
#include "support/sim_fixture.h"

namespace {

using vesk::test::SimDevice;

// Devices of one protocol and colour policy, each with a user per restriction.
class DocumentOnDevice : public vesk::test::DeviceFixture {
protected:
    // The device item of that kind, logged in as user; null (with a failure) if not.
    CVESKMFPDevice* LoggedIn(int major, int minor, int policy, const char* user) {
        auto& [sim, device] = m_devices[{major, minor, policy}];
        if (!sim) {
            sim = std::make_unique<SimDevice>([=](mfpsim::DeviceState& st) {
                st.identity.major = major;
                st.identity.minor = minor;
                st.identity.mono2ColorPolicy = policy;
                for (const char* name : {"free", "noscan", "nocolour"}) {
                    mfpsim::User u;
                    u.name = u.password = name;
                    st.users[name] = u;
                }
                st.users["noscan"].restrictions[2] = 1;
                st.users["nocolour"].restrictions[mfpsim::kColourRestriction] = 1;
            });
            if (!sim->Start())
                return nullptr;
            device = AddDevice(sim->Port(), ClosedPort());
        }
        device->Disconnect();
        EXPECT_EQ(device->Connect(nullptr, L""), -1051);
        int result = 0;
        const std::wstring name = vesk::Utf8ToWide(user);
        EXPECT_EQ(device->UserLogin(name.c_str(), name.c_str(), nullptr, result), 1) << user;
        return device->GetConnected() == 1 ? device : nullptr;
    }

    std::map<std::tuple<int, int, int>, std::pair<std::unique_ptr<SimDevice>, CVESKMFPDevice*>>
        m_devices;
};

TEST_F(DocumentOnDevice, PredicatesFollowProtocolPolicyAndRestrictions) {
    auto answers = [](CVESKDocument& d) {
        return std::make_tuple(d.CanDisplayDocThumbNail(), d.CanDocScan(), d.CanTransferDoc(),
                               d.GetDefaultDownloadColor());
    };
    for (const auto& r : vesk::test::DataRows("document/item.tsv", "predicates")) {
        SCOPED_TRACE(vesk::WideToUtf8(r[0] + L"." + r[1] + L" policy " + r[2] + L" " + r[3] +
                                      L" colour " + r[4]));
        auto n = [&r](int i) { return std::stoi(r[i]); };
        CVESKMFPDevice* device = LoggedIn(n(0), n(1), n(2), vesk::WideToUtf8(r[3]).c_str());
        ASSERT_TRUE(device);
        CVESKMFPBox box;
        box.SetDevice(device);
        CVESKDocument doc;
        doc.SetBox(&box);
        doc.SetColorType(n(4));
        doc.SetEncrypted(n(5));
        EXPECT_EQ(answers(doc), std::make_tuple(n(6), n(7), n(8), n(9)));
        device->Disconnect();
        EXPECT_EQ(answers(doc), std::make_tuple(-1012, -1012, -1012, n(9)));
    }
    // Without a box or without a device nothing is allowed and nothing is dereferenced.
    CVESKMFPBox box;
    for (CVESKMFPBox* parent : {static_cast<CVESKMFPBox*>(nullptr), &box}) {
        CVESKDocument orphan;
        orphan.SetBox(parent);
        EXPECT_EQ(answers(orphan), std::make_tuple(-1012, -1012, -1012, 5));
    }
}

TEST_F(DocumentOnDevice, RenameSendsTheNameCutAtACharacterAndKeepsWhatWasSent) {
    CVESKMFPDevice* device = LoggedIn(4, 11, 0, "free");
    ASSERT_TRUE(device);
    SimDevice& sim = *m_devices.begin()->second.first;
    // The document as the box lists it.
    CVESKMFPBox box;
    box.SetDevice(device);
    box.SetItemID(vesk::test::kSharedBox);
    ASSERT_EQ(box.Connect(nullptr, L""), 1);
    ASSERT_EQ(box.GetChildList(1), 1);
    CVESKDocument* listed = nullptr;
    for (POSITION pos = box.GetItemList()->GetHeadPosition(); pos;) {
        auto* d = static_cast<CVESKDocument*>(box.GetItemList()->GetNext(pos));
        if (d->GetItemName() == L"Report")
            listed = d;
    }
    ASSERT_TRUE(listed);
    CVESKDocument& doc = *listed;
    const long id = doc.GetItemID();
    ASSERT_EQ(doc.GetDispDocname(), L"Report.docx");
    // Item name, display name, and the name the device holds.
    auto names = [&] {
        return std::make_tuple(doc.GetItemName().str(), doc.GetDispDocname().str(),
                               vesk::Utf8ToWide(sim.State().documents.at(id).name));
    };
    using Names = std::tuple<std::wstring, std::wstring, std::wstring>;
    box.SetBoxLogin(0);
    EXPECT_EQ(doc.RenameItem(L"b", L""), -1009);
    box.SetBoxLogin(1);
    EXPECT_EQ(doc.RenameItem(L"", L""), -1033);
    EXPECT_EQ(names(), (Names{L"Report", L"Report.docx", L"Report"}));
    ASSERT_EQ(doc.RenameItem(L"b", L""), 1);
    EXPECT_EQ(names(), (Names{L"b", L"b.docx", L"b"}));

    // 1 + 3 x 99 bytes: the cut falls inside the thirtieth ideograph, which is left out.
    const std::wstring sent = L"a" + std::wstring(29, L'\x65E5');
    ASSERT_EQ(doc.RenameItem((L"a" + std::wstring(99, L'\x65E5')).c_str(), L""), 1);
    EXPECT_EQ(names(), (Names{sent, sent + L".docx", sent}));
    doc.SetFileType(3);  // a type without extension keeps its display name
    ASSERT_EQ(doc.RenameItem(L"c", L""), 1);
    EXPECT_EQ(names(), (Names{L"c", sent + L".docx", L"c"}));
    doc.SetItemID(id + 100000);
    EXPECT_EQ(doc.RenameItem(L"d", L""), -1031);
    EXPECT_EQ(doc.GetItemName(), L"c");

    CVESKDocument orphan;
    EXPECT_EQ(orphan.RenameItem(L"x", L""), -1012);
}

}  // namespace
