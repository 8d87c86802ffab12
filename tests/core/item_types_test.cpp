// Every level of the item tree reports its own object type and can be made by its
// runtime class, as the user interface does.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "box/mfp_box.h"
#include "core/item.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"
#include "root/vesk_root.h"
#include "support/isolated_env.h"

namespace {

static_assert(VESK_ITEM_ROOT == 0 && VESK_ITEM_DEVICE == 1 && VESK_ITEM_BOX == 2 &&
                  VESK_ITEM_DOCUMENT == 3,
              "callers rely on these values");

TEST(ItemObjectTypes, EachLevelReportsItsType) {
    vesk::test::ScopedIsolation isolation;  // the root and the device make cache folders
    const std::pair<CRuntimeClass*, int> levels[] = {
        {RUNTIME_CLASS(CVESKRoot), VESK_ITEM_ROOT},
        {RUNTIME_CLASS(CVESKMFPDevice), VESK_ITEM_DEVICE},
        {RUNTIME_CLASS(CVESKMFPBox), VESK_ITEM_BOX},
        {RUNTIME_CLASS(CVESKDocument), VESK_ITEM_DOCUMENT}};
    for (const auto& [itemClass, type] : levels) {
        SCOPED_TRACE(itemClass->m_lpszClassName);
        std::unique_ptr<CObject> object(itemClass->CreateObject());
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->GetRuntimeClass(), itemClass);
        EXPECT_EQ(CRuntimeClass::FromName(itemClass->m_lpszClassName), itemClass);
        auto* item = dynamic_cast<CVESKItem*>(object.get());
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->GetItemObjectType(), type);
    }
}

}  // namespace
