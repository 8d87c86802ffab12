// FakeItem: a minimal CVESKItem for tests of code that handles items generically
// (lists, type checks). Every operation is recorded and returns `result`.
#pragma once

#include <string>
#include <vector>

#include "core/item.h"

namespace vesk::test {

class FakeItem : public CVESKItem {
    DECLARE_DYNCREATE(FakeItem)

public:
    FakeItem() = default;
    FakeItem(int itemType, long itemId, const wchar_t* itemName)
        : type(itemType), id(itemId), name(itemName) {}

    int GetItemObjectType() override { return Record("GetItemObjectType", type); }
    int GetChildList(int) override { return Record("GetChildList", result); }
    int Connect(PFN_VESK_COMMSTATE, CString) override { return Record("Connect", result); }
    int DeleteChildItem(int, CString) override { return Record("DeleteChildItem", result); }
    long GetItemID() override { return Record("GetItemID", id); }
    CString GetItemName() override {
        Record("GetItemName", 0);
        return name;
    }
    int AddChildItem(ITEMINFO&) override { return Record("AddChildItem", result); }
    int Disconnect() override { return Record("Disconnect", result); }
    int UpdateList(CVESKItem*) override { return Record("UpdateList", result); }
    int ModifyItem(ITEMINFO&, CString) override { return Record("ModifyItem", result); }
    int RenameItem(const wchar_t*, CString) override { return Record("RenameItem", result); }

    int type = VESK_ITEM_DOCUMENT;
    long id = 0;
    CString name;
    int result = 1;
    std::vector<std::string> calls;

private:
    template <class T>
    T Record(const char* call, T value) {
        calls.emplace_back(call);
        return value;
    }
};

}  // namespace vesk::test
