// What the item-tree tests of this folder share: the names in a folder, a listed
// document found by name, and the open-document requests a device received.
#pragma once

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

#include "document/vesk_document.h"
#include "platform/charset.h"
#include "support/box_fixture.h"

namespace vesk::test {

inline std::set<std::string> In(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// The document of that name in the box's list; throws when there is none.
inline CVESKDocument* DocNamed(CVESKMFPBox* box, const std::string& name) {
    for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;) {
        auto* d = DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos));
        if (WideToUtf8(d->GetItemName().str()) == name)
            return d;
    }
    throw std::runtime_error("no document " + name);
}

inline std::vector<tc::OpenDocRequest> Opens(SimDevice& sim) {
    return sim.Requests<tc::OpenDocRequest>(tc::Op::kOpenDoc);
}

}  // namespace vesk::test
