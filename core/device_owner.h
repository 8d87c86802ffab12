// IDeviceOwner: what a device asks of the item that keeps it (the root), so that the
// device level does not depend on the root level above it.
#pragma once

#include "core/item.h"
#include "platform/cstring.h"

class CVESKCache;

namespace vesk {

class IBoxDocuments;
class IDeviceBoxes;

class IDeviceOwner {
public:
    virtual ~IDeviceOwner() = default;

    // The owner's registered devices (a device checks new names and addresses against
    // its siblings).
    virtual CVESKItemList* GetItemList() const = 0;
    // The owner's cache settings and folders; may be null.
    virtual CVESKCache* GetCache() const = 0;
    // The device registry file's override path; empty for the user's default file.
    virtual CString GetDeviceInfoPath() = 0;
    // Drops the view settings kept under strAddress (nBoxNo -1: the whole device).
    virtual void DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(CString strAddress,
                                                                            int nBoxNo) = 0;
    // 1 when the MIB filter file accepts the device identifier.
    virtual int IsAcceptedDeviceId(const CString& strDeviceId) = 0;
    // Whether the last user and account names are kept after a login.
    virtual int GetSaveUserName() = 0;
    virtual int GetSaveAccountName() = 0;
    // Whether a box password that opened a box is remembered for the next login.
    virtual int GetSaveBoxPassword() = 0;
    // The levels below the device, which only the owner sees: what a device asks of its
    // boxes, and a box of its documents.
    virtual IDeviceBoxes& GetDeviceBoxes() = 0;
    virtual IBoxDocuments& GetBoxDocuments() = 0;
};

}  // namespace vesk
