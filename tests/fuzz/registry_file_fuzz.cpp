// libFuzzer target for the device registry file as it comes from disk: load it and
// read its entries, whatever the bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/charset.h"
#include "registry/device_registry_file.h"

namespace {

const std::string& FilePath() {
    static const std::string path = [] {
        std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return folder + "/vesk-fuzz-registry-" + std::to_string(::getpid()) + ".xml";
    }();
    static const bool cleanup = std::atexit([] { std::remove(path.c_str()); }) == 0;
    (void)cleanup;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (std::FILE* f = std::fopen(FilePath().c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    vesk::DeviceRegistryFile file;
    if (file.Load(CString(vesk::Utf8ToWide(FilePath()))) !=
        vesk::DeviceRegistryFile::LoadResult::Loaded)
        return 0;
    for (const vesk::DeviceRegistryEntry& e : file.ReadEntries())
        (void)e;
    return 0;
}
