// The per-user device registry file: where it lives, how its MFP entries read, and
// how every writer saves it. The XML tree holds UTF-8; CString values are converted at
// this boundary.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/file_lock.h"
#include "platform/xml.h"

namespace vesk {

// One MFP entry. Missing elements read as empty text, and integers as 0.
struct DeviceRegistryEntry {
    long id = 0;
    CString name;
    CString address;
    int port = 0;
    int portSSL = 0;
    int lastTCPComm = 0;
    CString lastUserName;
    int lastUserType = 0;
    int lastAccountType = 0;
    CString lastAccountName;
    bool operator==(const DeviceRegistryEntry&) const = default;
};

// Integer conversion with the semantics of _wtoi: leading white space, an optional
// sign, then the leading digits ("80abc" is 80, "abc" is 0); out-of-range values
// saturate at INT_MIN / INT_MAX.
VESK_API int WideToInt(const wchar_t* text);

// ALLUSERSPROFILE + "/ORVANE/HALD/3.1/", the folder shared by every user of the
// machine that holds the registry files and the view settings. The variable counts
// only when it fits the 260-character buffer the Windows build reads it into.
VESK_API CString HaldProfileFolder();

// True when `name` can be used as a single folder name below a parent folder without
// reaching anything else: not empty, not "." or "..", and no path separator of
// either kind. Device addresses become folder names, so they are checked with this.
VESK_API bool IsSafeFolderName(const CString& name);

class VESK_API DeviceRegistryFile {
public:
    enum class LoadResult { Loaded, Missing, Unreadable };

    // Limits of a file this format can produce: MFPList, MFP, field elements and their
    // text, a few hundred bytes per entry. Anything beyond is damage or an attack and
    // counts as unreadable, so a writer never inflates it further.
    static constexpr size_t kMaxFileBytes = 8u << 20;
    static constexpr size_t kMaxEntries = 100000;
    static constexpr int kMaxElementDepth = 3;

    // The file for this user: `overridePath` when it is not empty, else
    // HaldProfileFolder() + USERNAME + ".xml".
    static CString PathFor(const CString& overridePath);
    // Creates ALLUSERSPROFILE (when missing) and the ORVANE, HALD and 3.1 levels below
    // it. Failures show later as a failed save.
    static void CreateDefaultFolders();
    // Keeps a copy of the file at `path` as "<path>.bak" (or ".bak.1", ".bak.2"… when
    // taken) before it is replaced. The name used, or nothing when no copy was made.
    static std::optional<CString> KeepBackup(const CString& path);
    // The name KeepBackup would use now.
    static CString NextBackupName(const CString& path);

    // Waits for and holds the one-writer-at-a-time lock of the file at `path` (an
    // advisory lock on "<path>.lock"), for a whole load-change-save. Null when the
    // lock file cannot be made, for instance because the folder is missing.
    static std::unique_ptr<fs::FileLock> LockForWriting(const CString& path);

    // Loads and parses the file. A file that exists but cannot be read or parsed is
    // Unreadable. Throws std::bad_alloc when the parser runs out of memory, so that an
    // allocation failure is never mistaken for a damaged file.
    LoadResult Load(const CString& path);
    // Why the last Load found the file Unreadable ("nested deeper than ..."); empty
    // after any other result.
    const std::string& Problem() const { return m_problem; }
    // An empty document: the declaration (version 1.0, UTF-8) and an MFPList element.
    void StartNew();

    // True when the document has an MFPList element.
    bool HasList() const;

    // The entries in listing order: the first MFP element under MFPList and then every
    // following sibling node, whatever its name.
    std::vector<DeviceRegistryEntry> ReadEntries() const;
    // The ID of every MFP entry, converted as ReadEntries does.
    std::vector<long> Ids() const;

    // Appends an MFP entry with the ten elements in file order.
    void Append(const DeviceRegistryEntry& entry);

    // Removes the first MFP entry whose ID text is exactly `idText`; false when none.
    bool RemoveFirst(const CString& idText);

    // The first MFP entry whose ID converts to `id` gets the given texts in place,
    // element by element; an element the entry lacks is added at its end. False when
    // no entry has that id. `changed` (when given) tells whether any text differs from
    // what the entry held, so that a caller can leave an unchanged file alone.
    struct Field {
        const char* element;
        CString text;
    };
    bool UpdateEntry(long id, const std::vector<Field>& fields, bool* changed = nullptr);

    // Writes the document to `path` by the writing rules (tab indentation, one element
    // per line, LF, UTF-8 without byte-order mark, the declaration only as it is in
    // the document), replacing the file atomically.
    bool Save(const CString& path) const;
    // The bytes Save would write.
    std::string Serialize() const;

private:
    const xml::Node* List() const;
    xml::Node* List();

    xml::Document m_doc;
    std::string m_problem;
};

}  // namespace vesk
