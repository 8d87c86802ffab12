#include <gtest/gtest.h>

#include <memory>

#include "core/current_tcpcore.h"
#include "core/item.h"
#include "core/iteminfo.h"
#include "support/fake_item.h"

namespace {

using vesk::test::FakeItem;

CTcpCore* FakeTcpCore(int n) {
    // Never dereferenced: the slot only stores the pointer.
    static char storage[4];
    return reinterpret_cast<CTcpCore*>(&storage[n]);
}

TEST(CurTcpCoreObject, OneObjectSharedByEveryItemUntilReplaced) {
    ASSERT_EQ(vesk::GetCurrentTcpCore(), nullptr) << "none before any connect";
    FakeItem device(VESK_ITEM_DEVICE, 1, L"device");
    std::unique_ptr<CObject> created(RUNTIME_CLASS(FakeItem)->CreateObject());
    auto* document = static_cast<CVESKItem*>(static_cast<FakeItem*>(created.get()));

    EXPECT_EQ(vesk::SetCurrentTcpCore(FakeTcpCore(0)), nullptr);
    EXPECT_EQ(device.GetCurTcpCoreObject(), FakeTcpCore(0));
    EXPECT_EQ(document->GetCurTcpCoreObject(), FakeTcpCore(0));
    // A later connect replaces it for everyone and hands back the old one to delete.
    EXPECT_EQ(vesk::SetCurrentTcpCore(FakeTcpCore(1)), FakeTcpCore(0));
    EXPECT_EQ(device.GetCurTcpCoreObject(), FakeTcpCore(1));
    EXPECT_EQ(document->GetCurTcpCoreObject(), FakeTcpCore(1));
    vesk::SetCurrentTcpCore(nullptr);  // no pointer leaks to the next test
}

// Designated initialisers must follow declaration order, so this only compiles while
// the fields keep the order callers fill them in.
[[maybe_unused]] const ITEMINFO kInFieldOrder{.strName = L"n",
                                              .strIP = L"ip",
                                              .nPort = 3,
                                              .nPortSSL = 4,
                                              .strLastUserName = L"u",
                                              .strLastAccountName = L"a",
                                              .nLastTCPComm = 7,
                                              .nLastUserType = 8,
                                              .nLastAccountType = 9,
                                              .strBoxTextA = L"ta",
                                              .strBoxTextB = L"tb",
                                              .nBoxValueA = 12,
                                              .nBoxValueB = 13,
                                              .strBoxUserName = L"bu",
                                              .strBoxName = L"bn",
                                              .strBoxPassword = L"bp",
                                              .nBoxType = 17,
                                              .nBoxValueC = 18,
                                              .nBoxValueD = 19,
                                              .nSearchChar = 20,
                                              .nMain = 21,
                                              .nAutoDelTime = 22,
                                              .nAutoDelTimeType = 23,
                                              .nAutoDelTimeMinute = 24};

}  // namespace
