// libFuzzer target for a view settings file as it comes from disk: read it for each
// list kind, and write back what was read.
#include <cstdint>
#include <string_view>

#include "registry/view_settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (int columns : {2, 4, 5}) {
        VIEW_INFO vi{};
        if (vesk::ParseViewSettings(bytes, columns, vi))
            (void)vesk::SerializeViewSettings(vi, columns);
    }
    return 0;
}
