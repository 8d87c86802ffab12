#include "support/box_fixture.h"

namespace vesk::test {

void BoxFixture::TearDown() {
    if (m_device)
        m_device->Disconnect();
    DeviceFixture::TearDown();
    m_sim.reset();
}

CVESKMFPDevice* BoxFixture::Open(const SimEdit& edit) {
    if (m_device)
        m_device->Disconnect();  // before its emulator goes
    m_device = nullptr;
    m_sim = std::make_unique<SimDevice>(edit);
    if (!m_sim->Start(true, true))
        return nullptr;
    CVESKMFPDevice* d = GetParam() == 1 ? AddDevice(ClosedPort(), m_sim->TlsPort(), 1)
                                        : AddDevice(m_sim->Port(), ClosedPort(), 0);
    int refused = 0;
    EXPECT_EQ(d->Connect(nullptr, L""), -1051);  // a user login follows
    EXPECT_EQ(d->UserLogin(L"alice", L"alice", nullptr, refused), 1);
    m_device = d->GetConnected() ? d : nullptr;
    return m_device;
}

CVESKMFPBox* BoxFixture::OpenBox(long number, const wchar_t* password, const SimEdit& edit) {
    if (!Open(edit) || m_device->GetChildList(1) != 1 || !Box(number))
        return nullptr;
    return Box(number)->Connect(nullptr, password) == 1 ? Box(number) : nullptr;
}

CVESKMFPBox* BoxFixture::Box(long number, bool filing) {
    for (POSITION pos = m_device->GetItemList()->GetHeadPosition(); pos;) {
        auto* box = DYNAMIC_DOWNCAST(CVESKMFPBox, m_device->GetItemList()->GetNext(pos));
        if (box && box->GetItemID() == number && (box->GetFilingBoxType() == 1) == filing)
            return box;
    }
    return nullptr;
}

std::vector<long> BoxFixture::Ids(CVESKItemList* list) {
    std::vector<long> ids;
    for (POSITION pos = list->GetHeadPosition(); pos;)
        ids.push_back(list->GetNext(pos)->GetItemID());
    return ids;
}

}  // namespace vesk::test
