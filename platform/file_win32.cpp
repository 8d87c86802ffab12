// CFile on Windows file handles, kept as C run-time descriptors (the class holds an int).
// The share modes are the system's own, so they hold against every other process too.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/win32_error.h"

namespace {

// errno for a Win32 error, with sharing and lock conflicts told apart as MFC does.
int FileErrno(DWORD err) {
    if (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION)
        return EWOULDBLOCK;
    return vesk::win32::ErrnoFromWin32(err);
}

HANDLE Native(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

bool CFile::Open(const wchar_t* lpszFileName, unsigned nOpenFlags, CFileException* pError) {
    auto fail = [&](int err) {
        vesk::RecordOsError("CreateFileW", err, std::wstring(lpszFileName ? lpszFileName : L""));
        if (pError)
            *pError = CFileException(CFileException::OsErrorToException(err), err, lpszFileName);
        return false;
    };
    if (IsOpen())
        Abort();
    if (!lpszFileName || !*lpszFileName)
        return fail(ENOENT);
    m_strFileName = lpszFileName;
    DWORD access = 0;
    switch (nOpenFlags & 3) {
        case modeRead:
            access = GENERIC_READ;
            break;
        case modeWrite:
            access = GENERIC_WRITE;
            break;
        case modeReadWrite:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
        default:
            return fail(EINVAL);
    }
    DWORD share = 0;
    switch (nOpenFlags & 0x70) {
        case shareDenyWrite:
            share = FILE_SHARE_READ;
            break;
        case shareDenyRead:
            share = FILE_SHARE_WRITE;
            break;
        case shareDenyNone:
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:
            share = 0;
            break;  // shareCompat and shareExclusive
    }
    DWORD disposition = OPEN_EXISTING;
    if (nOpenFlags & modeCreate)
        disposition = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, (nOpenFlags & modeNoInherit) ? FALSE : TRUE};
    HANDLE h =
        CreateFileW(lpszFileName, access, share, &sa, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(FileErrno(GetLastError()));
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0) {
        CloseHandle(h);
        return fail(EMFILE);
    }
    m_hFile = fd;
    return true;
}

unsigned CFile::Read(void* lpBuf, unsigned nCount) {
    CheckOpen();
    if (nCount == 0)
        return 0;
    DWORD n = 0;
    if (!ReadFile(Native(m_hFile), lpBuf, nCount, &n, nullptr))
        Throw(FileErrno(GetLastError()));
    return n;
}

void CFile::Write(const void* lpBuf, unsigned nCount) {
    CheckOpen();
    auto p = static_cast<const char*>(lpBuf);
    while (nCount > 0) {
        DWORD n = 0;
        if (!WriteFile(Native(m_hFile), p, nCount, &n, nullptr))
            Throw(FileErrno(GetLastError()));
        if (n == 0)
            Throw(ENOSPC);
        p += n;
        nCount -= n;
    }
}

uint64_t CFile::Seek(int64_t lOff, unsigned nFrom) {
    CheckOpen();
    DWORD method = nFrom == begin     ? FILE_BEGIN
                   : nFrom == current ? FILE_CURRENT
                   : nFrom == end     ? FILE_END
                                      : MAXDWORD;
    if (method == MAXDWORD)
        Throw(EINVAL);
    LARGE_INTEGER to, at;
    to.QuadPart = lOff;
    if (!SetFilePointerEx(Native(m_hFile), to, &at, method)) {
        const int err = FileErrno(GetLastError());
        vesk::RecordOsError("SetFilePointerEx", err, m_strFileName.str());
        throw CFileException(CFileException::badSeek, err, m_strFileName);
    }
    return static_cast<uint64_t>(at.QuadPart);
}

uint64_t CFile::GetPosition() const {
    CheckOpen();
    LARGE_INTEGER zero{}, at;
    if (!SetFilePointerEx(Native(m_hFile), zero, &at, FILE_CURRENT))
        Throw(FileErrno(GetLastError()));
    return static_cast<uint64_t>(at.QuadPart);
}

uint64_t CFile::GetLength() const {
    CheckOpen();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(Native(m_hFile), &size))
        Throw(FileErrno(GetLastError()));
    return static_cast<uint64_t>(size.QuadPart);
}

void CFile::SetLength(uint64_t dwNewLen) {
    CheckOpen();
    FILE_END_OF_FILE_INFO eof;
    eof.EndOfFile.QuadPart = static_cast<LONGLONG>(dwNewLen);
    if (!SetFileInformationByHandle(Native(m_hFile), FileEndOfFileInfo, &eof, sizeof eof))
        Throw(FileErrno(GetLastError()));
}

void CFile::Flush() {
    CheckOpen();
    if (!FlushFileBuffers(Native(m_hFile)) && GetLastError() != ERROR_ACCESS_DENIED)
        Throw(FileErrno(GetLastError()));
}

void CFile::Close() {
    if (!IsOpen())
        return;
    const int fd = m_hFile;
    m_hFile = hFileNull;
    if (_close(fd) != 0)
        Throw(EIO);
}

void CFile::Abort() {
    if (!IsOpen())
        return;
    _close(m_hFile);
    m_hFile = hFileNull;
}

CString CFile::GetFileName() const {
    int cut = m_strFileName.ReverseFind(L'\\');
    const int slash = m_strFileName.ReverseFind(L'/');
    if (slash > cut)
        cut = slash;
    return cut < 0 ? m_strFileName : m_strFileName.Mid(cut + 1);
}
