#include "support/box_fixture.h"

namespace vesk::test {

void BoxFixture::TearDown() {
    if (m_device)
        m_device->Disconnect();
    DeviceFixture::TearDown();
    m_sim.reset();
}

CVESKMFPDevice* BoxFixture::Open(const SimEdit& edit, const wchar_t* user,
                                 const wchar_t* password) {
    if (m_device)
        m_device->Disconnect();  // before its device goes
    m_sim = std::make_unique<SimDevice>(edit);
    if (!m_sim->Start(true, true))
        return nullptr;
    const bool tls = GetParam() == 1;
    m_device = tls ? AddDevice(ClosedPort(), m_sim->TlsPort(), 1)
                   : AddDevice(m_sim->Port(), ClosedPort(), 0);
    if (!m_device)
        return nullptr;
    const int connected = m_device->Connect(nullptr, L"");
    int refused = 0;
    if (connected == -1051 && m_device->UserLogin(user, password, nullptr, refused) == 1)
        return m_device;
    ADD_FAILURE() << "connect gave " << connected << ", or the login of the user failed";
    return nullptr;
}

CVESKMFPBox* BoxFixture::OpenBox(long number, const wchar_t* password, const SimEdit& edit) {
    if (!Open(edit))
        return nullptr;
    EXPECT_EQ(m_device->GetChildList(1), 1);
    CVESKMFPBox* box = Box(number);
    const int login = box ? box->Connect(nullptr, password) : 0;
    EXPECT_EQ(login, 1) << "box " << number;
    return login == 1 ? box : nullptr;
}

CVESKMFPBox* BoxFixture::Box(long number, bool filing) {
    CVESKItemList* list = m_device->GetItemList();
    for (POSITION pos = list->GetHeadPosition(); pos;) {
        auto* box = DYNAMIC_DOWNCAST(CVESKMFPBox, list->GetNext(pos));
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
