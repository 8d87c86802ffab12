// CVESKItem: the interface every level of the item tree (root, device, box, document)
// implements, and the typed list in which a parent keeps its children.
#pragma once

#include "core/iteminfo.h"
#include "platform/collections.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/object.h"
#include "platform/wintypes.h"

class CTcpCore;
struct tagQTCP_COMMSTATE;

// Progress and cancel callback handed to Connect.
typedef long(__stdcall* PFN_VESK_COMMSTATE)(tagQTCP_COMMSTATE*);

// GetItemObjectType values.
inline constexpr int VESK_ITEM_ROOT = 0;
inline constexpr int VESK_ITEM_DEVICE = 1;
inline constexpr int VESK_ITEM_BOX = 2;
inline constexpr int VESK_ITEM_DOCUMENT = 3;

// The operations return 1 on success, 0 for a refusal without a specific cause, or a
// negative result code; a level for which an operation means nothing returns 1.
// The declaration order is the dispatch order callers are built against: append new
// virtual operations only after GetCurTcpCoreObject.
class VESK_API CVESKItem : public CObject {
public:
    CVESKItem() = default;
    ~CVESKItem() override = default;

    virtual int GetItemObjectType() = 0;
    virtual int GetChildList(int bRefresh) = 0;
    virtual int Connect(PFN_VESK_COMMSTATE pfnCommState, CString strParam) = 0;
    virtual int DeleteChildItem(int nID, CString strParam) = 0;
    virtual long GetItemID() = 0;
    virtual CString GetItemName() = 0;
    virtual int AddChildItem(ITEMINFO& info) = 0;
    virtual int Disconnect() = 0;
    virtual int UpdateList(CVESKItem* pNewItem) = 0;
    virtual int ModifyItem(ITEMINFO& info, CString strParam) = 0;
    virtual int RenameItem(const wchar_t* pszNewName, CString strParam) = 0;
    // The process-wide current communication object (possibly null); the same for
    // every item.
    virtual CTcpCore* GetCurTcpCoreObject() final;
};

// A parent's children in display order; the parent creates it with block size 10.
typedef CTypedPtrList<CObList, CVESKItem*> CVESKItemList;
