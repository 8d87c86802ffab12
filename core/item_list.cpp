#include "core/item_list.h"

#include <new>

namespace vesk {

int ReplaceRetiringOld(CVESKItemList& list, CVESKItemList& retired, CVESKItem* pNewItem) {
    if (list.Find(pNewItem))
        return 1;  // already in place
    const long id = pNewItem->GetItemID();
    for (POSITION pos = list.GetHeadPosition(); pos;) {
        POSITION at = pos;
        CVESKItem* pOld = list.GetNext(pos);
        if (pOld->GetItemID() != id)
            continue;
        try {
            retired.AddTail(pOld);
        } catch (const std::bad_alloc&) {
            return -1001;
        }
        if (POSITION was = retired.Find(pNewItem))
            retired.RemoveAt(was);
        list.SetAt(at, pNewItem);
        break;
    }
    return 1;
}

}  // namespace vesk
