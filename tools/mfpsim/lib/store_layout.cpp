// Where the device folder keeps each object, without file access, so that test programs
// on other systems can find the files of a device the emulator serves.
#include <cstdio>

#include "tools/mfpsim/lib/store.h"

namespace mfpsim {

namespace fs = std::filesystem;

fs::path Store::BoxDir(int number) const {
    return root_ / "boxes" / std::to_string(number);
}

fs::path Store::DocumentDir(int box, int id) const {
    return BoxDir(box) / "docs" / std::to_string(id);
}

std::string Store::PageFileName(const Document& doc, int page) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "page-%04d.%s", page, doc.TiffPages() ? "tif" : "jpg");
    return buf;
}

fs::path Store::PagePath(const Document& doc, int page) const {
    return DocumentDir(doc.box, doc.id) / PageFileName(doc, page);
}

}  // namespace mfpsim
