// Every level of the item tree reports its own object type. As each level's class
// lands, add its row to ItemObjectTypes.EachLevelReportsItsType, e.g.
//     ExpectCreatedItemType(RUNTIME_CLASS(CVESKRoot), VESK_ITEM_ROOT);
#include <gtest/gtest.h>

#include <memory>

#include "core/item.h"
#include "device/mfp_device.h"
#include "root/vesk_root.h"
#include "support/fake_item.h"
#include "support/isolated_env.h"

namespace {

// Creates an item dynamically, as the user interface may, and checks its type.
void ExpectCreatedItemType(CRuntimeClass* itemClass, int expected) {
    SCOPED_TRACE(itemClass->m_lpszClassName);
    std::unique_ptr<CObject> object(itemClass->CreateObject());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), itemClass);
    EXPECT_EQ(itemClass->m_wSchema, 0xFFFFu);
    EXPECT_EQ(CRuntimeClass::FromName(itemClass->m_lpszClassName), itemClass);
    auto* item = dynamic_cast<CVESKItem*>(object.get());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetItemObjectType(), expected);
}

static_assert(VESK_ITEM_ROOT == 0 && VESK_ITEM_DEVICE == 1 && VESK_ITEM_BOX == 2 &&
                  VESK_ITEM_DOCUMENT == 3,
              "callers rely on these values");

TEST(ItemObjectTypes, EachLevelReportsItsType) {
    vesk::test::ScopedIsolation isolation;  // the root and the device make cache folders
    ExpectCreatedItemType(RUNTIME_CLASS(CVESKRoot), VESK_ITEM_ROOT);
    ExpectCreatedItemType(RUNTIME_CLASS(CVESKMFPDevice), VESK_ITEM_DEVICE);
    // FakeItem stands in until the levels exist; it reports a document by default.
    ExpectCreatedItemType(RUNTIME_CLASS(vesk::test::FakeItem), VESK_ITEM_DOCUMENT);
}

}  // namespace
