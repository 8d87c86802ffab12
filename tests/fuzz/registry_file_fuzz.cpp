// libFuzzer target for the device registry file as it comes from disk: load it and
// read its entries, whatever the bytes.
#include <cstdint>

#include "platform/charset.h"
#include "registry/device_registry_file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::DeviceRegistryFile file;
    if (file.Load(CString(vesk::Utf8ToWide(WriteScratchFile("registry.xml", data, size)))) !=
        vesk::DeviceRegistryFile::LoadResult::Loaded)
        return 0;
    for (const vesk::DeviceRegistryEntry& e : file.ReadEntries())
        (void)e;
    return 0;
}
