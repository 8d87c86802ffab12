// The fixture of the download tests: download_test.cpp, and download_local_test.cpp for
// what needs the emulator's device folder in this process.
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "cache/vesk_cache.h"
#include "e2e/items.h"

namespace vesk::test {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

class Download : public BoxFixture {
protected:
    // Logs into the shared box of the device changed by edit and lists it.
    bool Shared(const SimEdit& edit = {}) {
        m_box = OpenBox(kSharedBox, L"", edit);
        return m_box && m_box->GetChildList(1) == 1;
    }
    CVESKDocument* Doc(const std::string& name) { return DocNamed(m_box, name); }
    int Get(CVESKDocument* doc, int format, QTCP_RECVDATA_CALLBACK cb = nullptr) {
        return doc->GetDocument(m_got, 0, nullptr, cb, nullptr, format, 1);
    }
    std::string Got() { return WideToUtf8(m_got.str()); }
    int Copy(const std::string& to, long id, int type, int overwrite = 0, int copy = 1) {
        m_path = CString(m_out.Sub(to));
        return m_box->CopyMoveDocumentToFolder(copy, m_path, int(id), overwrite, type, 1, nullptr);
    }
    std::vector<tc::OpenDocRequest> Opens() { return test::Opens(Sim()); }
    // What downloads left in the box's transfer folder.
    Names Left() {
        CString dir;
        m_box->GetCacheObj()->GetTransFileDir(dir, 1);
        return In(WideToUtf8(dir.str()));
    }

    CVESKMFPBox* m_box = nullptr;
    CString m_got, m_path;
    TempFolder m_out{"vesk-out"};
};

}  // namespace vesk::test
