// vesk::BoxLevel: the box level's answer to what a device asks of its boxes: box items
// made from the device's records, and what a device needs to know or change of them.
#pragma once

#include "core/device_boxes.h"

namespace vesk {

class BoxLevel final : public IDeviceBoxes {
public:
    std::unique_ptr<CVESKItem> MakeRXBox(CVESKMFPDevice& device) override;
    std::unique_ptr<CVESKItem> MakeListedBox(CVESKMFPDevice& device, const tagUTIL_BOXINFO& record,
                                             bool filing) override;
    std::unique_ptr<CVESKItem> MakeCreatedBox(CVESKMFPDevice& device, const ITEMINFO& info,
                                              const tagUTIL_BOXCREATEINFO& record) override;
    void SetBoxNumber(CVESKItem& box, long number) override;
    void TakeOver(CVESKItem& fresh, const std::vector<CVESKItem*>& previous) override;
    bool IsBox(CVESKItem* item) override;
    bool IsLoggedIn(CVESKItem& box) override;
    int ChangePassword(CVESKItem& box, const CString& newPassword, int& detail) override;
};

}  // namespace vesk
