// Bookkeeping shared by the parents of the item tree.
#pragma once

#include "core/item.h"

namespace vesk {

// Puts pNewItem in the place of the first item of list with its id. The item replaced
// moves to retired, since the application may still hold it; pNewItem leaves retired if
// it was there. Nothing changes when pNewItem is already listed or no item has its id.
// -1001 when retired cannot grow (nothing changed then), else 1.
int ReplaceRetiringOld(CVESKItemList& list, CVESKItemList& retired, CVESKItem* pNewItem);

}  // namespace vesk
