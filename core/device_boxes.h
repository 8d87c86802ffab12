// IDeviceBoxes: what a device asks of its boxes. The box level implements it and the
// root, which sees every level, hands it to its devices (IDeviceOwner), so that the
// device level lists and handles box items without depending on the box level above it.
#pragma once

#include <memory>
#include <vector>

#include "core/item.h"
#include "platform/cstring.h"

class CVESKMFPDevice;
struct tagUTIL_BOXCREATEINFO;
struct tagUTIL_BOXINFO;

namespace vesk {

class IDeviceBoxes {
public:
    virtual ~IDeviceBoxes() = default;

    // A new box item of device, with a copy of the device's cache settings. These
    // throw std::bad_alloc.
    // The memory-RX box, or null when it could not be set up.
    virtual std::unique_ptr<CVESKItem> MakeRXBox(CVESKMFPDevice& device) = 0;
    // A box as the device listed it; filing: from the filing-number list.
    virtual std::unique_ptr<CVESKItem> MakeListedBox(CVESKMFPDevice& device,
                                                     const tagUTIL_BOXINFO& record,
                                                     bool filing) = 0;
    // The box info asks for, before the device is asked to create it: the name and
    // owner as record sends them (cut to the device's fields), info's other settings and
    // its password. Its number follows once the device answered (SetBoxNumber).
    virtual std::unique_ptr<CVESKItem> MakeCreatedBox(CVESKMFPDevice& device, const ITEMINFO& info,
                                                      const tagUTIL_BOXCREATEINFO& record) = 0;
    virtual void SetBoxNumber(CVESKItem& box, long number) = 0;

    // When an item of previous (the last listing) stands for the same box as fresh,
    // fresh takes over its password and its login; the old item no longer holds the
    // login, so that only one item ever logs the box out.
    virtual void TakeOver(CVESKItem& fresh, const std::vector<CVESKItem*>& previous) = 0;
    // Whether item is one of this level's box items (the type alone does not say so).
    virtual bool IsBox(CVESKItem* item) = 0;
    virtual bool IsLoggedIn(CVESKItem& box) = 0;
    // Gives box (a box item) the password newPassword on the device of the current
    // communication object; empty: no password. 1, or -1030 refused (detail: the
    // device's detail code). Throws std::bad_alloc.
    virtual int ChangePassword(CVESKItem& box, const CString& newPassword, int& detail) = 0;
};

}  // namespace vesk
