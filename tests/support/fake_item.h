// FakeItem: a minimal CVESKItem for tests of code that handles items generically
// (lists, type checks). Every operation returns `result`.
#pragma once

#include "core/item.h"

namespace vesk::test {

class FakeItem : public CVESKItem {
    DECLARE_DYNCREATE(FakeItem)

public:
    FakeItem() = default;
    FakeItem(int itemType, long itemId, const wchar_t* itemName)
        : type(itemType), id(itemId), name(itemName) {}

    int GetItemObjectType() override { return type; }
    int GetChildList(int) override { return result; }
    int Connect(PFN_VESK_COMMSTATE, CString) override { return result; }
    int DeleteChildItem(int, CString) override { return result; }
    long GetItemID() override { return id; }
    CString GetItemName() override { return name; }
    int AddChildItem(ITEMINFO&) override { return result; }
    int Disconnect() override { return result; }
    int UpdateList(CVESKItem*) override { return result; }
    int ModifyItem(ITEMINFO&, CString) override { return result; }
    int RenameItem(const wchar_t*, CString) override { return result; }

    int type = VESK_ITEM_DOCUMENT;
    long id = 0;
    CString name;
    int result = 1;
};

}  // namespace vesk::test
