// CUtility: stateless file-system helpers shared by the cache and the item levels:
// profile folder, path joining and splitting, folder creation, unique and safe file
// names, file dates. Paths use vesk::fs::kPathSeparator; results of 1 mean success and
// 0 failure. Internal to the library: it may throw std::bad_alloc, which the exported
// operations that call it turn into -1001.
#pragma once

#include "platform/cstring.h"
#include "platform/export.h"

class VESK_API CUtility {
public:
    // Environment: "ALLUSERSPROFILE" and "USERNAME" (a name of 255 or more characters
    // counts as unset), empty when unset. Paths are not held to a 260-character buffer.
    static CString GetAllUsersProfileDir();
    static CString GetLoginUserName();

    // A folder that exists (links are followed).
    static int IsDirectoryExist(const wchar_t* path);
    // Something that exists and is not a folder.
    static int IsFileExist(const wchar_t* path);
    // Creates every missing level of an absolute path; an existing folder succeeds.
    static int CreateDirectoryTree(const wchar_t* path);

    // Joining A and B: empty when either is empty; otherwise A with one trailing
    // separator followed by B without one leading separator.
    static CString JoinPath(const wchar_t* a, const wchar_t* b);

    // Splitting a path: folder part (up to and including the last separator), name,
    // name without extension, and extension (withDot 1 gives the leading ".").
    static CString GetDirPart(const wchar_t* path);
    static CString GetFileNameWithExt(const wchar_t* path);
    static CString GetFileTitle(const wchar_t* path);
    static CString GetFileExt(const wchar_t* path, int withDot);
    // add 1 appends a separator when missing; add 0 removes one trailing separator.
    static int AddOrRemoveLastBackslash(CString& path, int add);

    // The root of the volume that holds path (or, for a path still to be made, its
    // nearest existing parent): its mount point on POSIX. Empty for a relative path.
    static CString GetDriveRoot(const wchar_t* path);

    // Dotted IPv4 texts compared octet by octet: -1, 0 or 1; -1 also when either is
    // null or not four decimal octets.
    static int CompareIPAddress(const wchar_t* a, const wchar_t* b);

    // Sets the creation (flag 0) or modification (flag 1) time of an existing file
    // from local time text "yyyy/mm/dd hh:mm:ss". Out-of-range or malformed text
    // gives 0 rather than an exception, so a bad date never fails its caller.
    static int SetFileTimeFromText(const wchar_t* path, const wchar_t* text, int flag);

    // Operating-system kind code of the Windows version table; -1 on POSIX.
    static int GetOSVersionCode();

    // File names made safe for the file system: the eleven characters \ / : ; , * ?
    // < > " | become %xx, then leading and trailing spaces %20, then leading and
    // trailing dots %2e. The KeepExt variant escapes only the part before the last
    // "." (and any of the eleven characters in the extension, so a name can never
    // reach into a sub-folder).
    static CString EscapeFileName(const wchar_t* name);
    static CString EscapeFileNameKeepExt(const wchar_t* name);

    // Whether name can be a single file-name component in folder dir: not empty, not
    // "." or "..", no separator or NUL, and at most the file system's name length in
    // UTF-8 bytes.
    static int IsValidFileName(const wchar_t* name, const wchar_t* dir);

    // Creates path as a new empty file. When its name is not valid, tries shortened
    // and "_%02d"-suffixed names (up to maxTries, at most 99) in the same folder and
    // updates path to the one created. 0 when no candidate could be created or when
    // the file already exists.
    static int CreateValidNewFile(CString& path, int maxTries);

    // A new unique folder "_%c%06d" below parent, created when create is 1.
    static int GetUniqueFolder(CString& out, const wchar_t* parent, int create);
    // A new unique empty file "_%c%06d<ext>" in dir, reserved by creating it. kind 0
    // takes the extension from fileType (0 to 9), kind 1 ".dig", kind 2 ".tmp".
    static int GetUniqueFile(CString& out, const wchar_t* dir, int fileType, int kind);

    // Extension for a document file type (0 ".jpg" ... 9 ".xlsx"); null for others.
    static const wchar_t* FileTypeExtension(int fileType);
};
