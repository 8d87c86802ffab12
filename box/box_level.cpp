// vesk::BoxLevel: box items as a device lists, creates and re-lists them, and a box's
// new password.
#include "box/box_level.h"

#include <utility>

#include "box/mfp_box.h"
#include "cache/vesk_cache.h"
#include "device/fields.h"
#include "device/mfp_device.h"
#include "device/secret.h"
#include "tcpcore/tcpcore.h"

using vesk::device::FieldText;

namespace {

constexpr int kPasswordChangeFailed = -1030;

// Box passwords go to the device in the system code page, at most 260 bytes.
typedef vesk::device::SecretText<QTCP_PASSWORD_SIZE + 1> BoxPassword;

CVESKMFPBox* AsBox(CVESKItem* pItem) {
    return pItem && pItem->GetItemObjectType() == VESK_ITEM_BOX ? dynamic_cast<CVESKMFPBox*>(pItem)
                                                                : nullptr;
}

std::unique_ptr<CVESKMFPBox> NewBox(CVESKMFPDevice& device) {
    auto box = std::make_unique<CVESKMFPBox>();
    box->SetCacheObj(device.GetCache());
    box->SetDevice(&device);
    return box;
}

// Whether a box login or password belongs to the kept box as well as the new one: the
// same box number in the same list.
bool SameBox(CVESKMFPBox* a, CVESKMFPBox* b) {
    return a->GetItemID() == b->GetItemID() && a->GetFilingBoxType() == b->GetFilingBoxType();
}

}  // namespace

namespace vesk {

std::unique_ptr<CVESKItem> BoxLevel::MakeRXBox(CVESKMFPDevice& device) {
    auto box = NewBox(device);
    if (box->initializeRXBox() != 1)
        return nullptr;
    return box;
}

std::unique_ptr<CVESKItem> BoxLevel::MakeListedBox(CVESKMFPDevice& device, const tagUTIL_BOXINFO& r,
                                                   bool filing) {
    auto box = NewBox(device);
    box->SetItemID(r.lBoxNo);
    box->SetItemName(FieldText(r.szBoxName));
    box->SetUserName(FieldText(r.szUserName));
    box->SetPasswordProtected(r.nPasswordProtected);
    box->SetBoxType(r.nBoxType);
    box->SetEntryDate(FieldText(r.szEntryDate));
    box->SetSearchChar(r.nSearchChar);
    box->SetMain(r.nMain);
    box->SetAutoDelTime(r.nAutoDelTime);
    box->SetAutoDelTimeType(r.nAutoDelTimeType);
    box->SetAutoDelTimeMinute(r.nAutoDelTimeMinute);
    if (filing)
        box->SetFilingBoxType(1);
    return box;
}

std::unique_ptr<CVESKItem> BoxLevel::MakeCreatedBox(CVESKMFPDevice& device, const ITEMINFO& info,
                                                    const tagUTIL_BOXCREATEINFO& record) {
    auto box = NewBox(device);
    // The name as the device keeps it: cut to its field.
    box->SetItemName(FieldText(record.szBoxName));
    box->SetUserName(FieldText(record.szUserName));
    box->SetPasswordProtected(info.strBoxPassword.IsEmpty() ? 0 : 1);
    box->SetBoxType(info.nBoxType);
    box->SetSearchChar(info.nSearchChar);
    box->SetMain(info.nMain);
    box->SetAutoDelTime(info.nAutoDelTime);
    box->SetAutoDelTimeType(info.nAutoDelTimeType);
    box->SetAutoDelTimeMinute(info.nAutoDelTimeMinute);
    box->SetPassword(info.strBoxPassword);
    return box;
}

void BoxLevel::SetBoxNumber(CVESKItem& box, long number) {
    if (CVESKMFPBox* pBox = AsBox(&box))
        pBox->SetItemID(number);
}

// What a box listed again takes over from the item that stood for it: what its login
// and password entry set.
void BoxLevel::TakeOver(CVESKItem& fresh, const std::vector<CVESKItem*>& previous) {
    CVESKMFPBox* pNew = AsBox(&fresh);
    if (!pNew)
        return;
    for (CVESKItem* pItem : previous) {
        CVESKMFPBox* pKept = AsBox(pItem);
        if (!pKept || !SameBox(pKept, pNew))
            continue;
        CString password = pKept->GetPassword();
        CString boxID = pKept->GetCacheObj()->GetBoxID();
        CString owner = pKept->GetCacheObj()->GetBoxUserName();
        pNew->SetPassword(password);
        pNew->SetPasswordKnown(pKept->GetPasswordKnown());
        pNew->SetPasswordProtected(pKept->GetPasswordProtectedFlag());
        pNew->SetBoxLogin(pKept->GetBoxLogin());
        CVESKCache* pCache = pNew->GetCacheObj();
        pCache->SetBoxID(boxID);
        pCache->SetBoxUserName(owner);
        pCache->SetBoxLogin(pKept->GetCacheObj()->GetBoxLogin());
        pKept->SetBoxLogin(0);
        pKept->GetCacheObj()->SetBoxLogin(0);
        return;
    }
}

bool BoxLevel::IsBox(CVESKItem* item) {
    return AsBox(item) != nullptr;
}

bool BoxLevel::IsLoggedIn(CVESKItem& box) {
    CVESKMFPBox* pBox = AsBox(&box);
    return pBox && pBox->GetBoxLogin() != 0;
}

int BoxLevel::ChangePassword(CVESKItem& box, const CString& newPassword, int& detail) {
    CVESKMFPBox* pBox = AsBox(&box);
    CTcpCore* pCore = box.GetCurTcpCoreObject();
    if (!pBox || !pCore)
        return kPasswordChangeFailed;
    tagUTIL_BOXPROPINFO prop{};
    prop.wMask = QTCP_BOXPROP_PASSWORD;
    const BoxPassword oldPassword(pBox->GetPasswordProtected() ? pBox->GetPassword() : CString());
    const BoxPassword next(newPassword);
    CString kept = newPassword;
    if (pCore->ChangeBoxSetting(pBox->GetItemID(), prop, oldPassword.c_str(), next.c_str(),
                                detail) != 1) {
        vesk::device::WipeOnExit wipe(kept);
        return kPasswordChangeFailed;
    }
    // No password means no protection.
    pBox->SetPasswordProtected(kept.IsEmpty() ? 0 : 1);
    pBox->SetPassword(std::move(kept));
    return 1;
}

}  // namespace vesk
