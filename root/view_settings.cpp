// The root's view settings of the device, box and document lists: one small file per
// list below the settings folder shared by every user of the machine.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "platform/atomic_file.h"
#include "platform/fs.h"
#include "registry/device_registry_file.h"
#include "registry/view_settings_file.h"
#include "root/vesk_root.h"

namespace {

constexpr int kMemory = -1001;

// True when the settings file of a list would be the device registry file: a user
// named like the device-list file must not lose the registry to a view change.
bool IsRegistryFile(const CString& file, const CString& deviceInfoPath) {
    return file.CompareNoCase(vesk::DeviceRegistryFile::PathFor(deviceInfoPath)) == 0;
}

}  // namespace

void CVESKRoot::InitializeViewInfoStructure(VIEW_INFO& vi) {
    vi.nCurViewMode = 1;
    for (int i = 0; i < 5; ++i) {
        vi.nColumnWidth[i] = -1;
        vi.nColumnEnable[i] = -1;
        vi.nColumnOrder[i] = -1;
    }
    vi.bSortOrder = true;
    vi.nSortColumnNumber = 0;
    vi.nViewMode = 1;
}

int CVESKRoot::AddChildItemForDocViewSetting(VIEW_INFO& vi, CString strAddress, int nBoxNo) {
    try {
        vesk::ViewSettingsPlace place;
        if (!vesk::ViewSettingsPlaceFor(strAddress, nBoxNo, place) ||
            IsRegistryFile(place.file, m_strDeviceInfoPath))
            return 0;
        if (!place.deviceFolder.IsEmpty() && !vesk::fs::IsDirectory(place.deviceFolder.str()))
            vesk::fs::CreateDirectory(place.deviceFolder.str());
        // Replaced whole: a failed save leaves the earlier settings, never no file.
        return vesk::fs::ReplaceFileAtomically(place.file.str(),
                                               vesk::SerializeViewSettings(vi, place.columns))
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKRoot::GetChildListForDocViewSetting(VIEW_INFO& vi, CString strAddress, int nBoxNo) {
    try {
        vesk::ViewSettingsPlace place;
        if (!vesk::ViewSettingsPlaceFor(strAddress, nBoxNo, place) ||
            IsRegistryFile(place.file, m_strDeviceInfoPath) || !vesk::fs::IsFile(place.file.str()))
            return 0;
        std::ifstream in(std::filesystem::path(place.file.str()), std::ios::binary);
        // One byte past the limit is enough to tell a file that is too large.
        std::string bytes(vesk::kMaxViewSettingsBytes + 1, '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (in.bad())
            return 0;
        bytes.resize(static_cast<size_t>(in.gcount()));
        return vesk::ParseViewSettings(bytes, place.columns, vi) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
