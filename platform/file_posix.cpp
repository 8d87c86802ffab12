// CFile on POSIX descriptors. Opens, reads and writes go through the Sys() table so
// tests can make them fail; every call is repeated when a signal interrupts it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/syscalls.h"

bool CFile::Open(const wchar_t* lpszFileName, unsigned nOpenFlags, CFileException* pError) {
    auto fail = [&](int err) {
        vesk::RecordOsError("open", err, std::wstring(lpszFileName ? lpszFileName : L""));
        if (pError)
            *pError = CFileException(CFileException::OsErrorToException(err), err, lpszFileName);
        return false;
    };
    if (IsOpen())
        Abort();
    if (!lpszFileName || !*lpszFileName)
        return fail(ENOENT);
    m_strFileName = lpszFileName;

    int flags = O_CLOEXEC;
    switch (nOpenFlags & 3) {
        case modeRead:
            flags |= O_RDONLY;
            break;
        case modeWrite:
            flags |= O_WRONLY;
            break;
        case modeReadWrite:
            flags |= O_RDWR;
            break;
        default:
            return fail(EINVAL);
    }
    if (nOpenFlags & modeCreate) {
        flags |= O_CREAT;
        if (!(nOpenFlags & modeNoTruncate))
            flags |= O_TRUNC;
    }
    const std::string path = vesk::WideToUtf8(lpszFileName);
    int fd = vesk::RetryEintr([&] { return vesk::Sys().open(path.c_str(), flags, 0666); });
    if (fd < 0)
        return fail(errno);

    // Opening a folder read-only succeeds on POSIX; Windows refuses it.
    struct stat st;
    int statErr = fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
    if (statErr) {
        vesk::Sys().close(fd);
        return fail(statErr);
    }
    const unsigned share = nOpenFlags & 0x70;
    const int lockOp = (share == shareCompat || share == shareExclusive) ? LOCK_EX : LOCK_SH;
    if (vesk::RetryEintr([&] { return flock(fd, lockOp | LOCK_NB); }) != 0) {
        int err = errno;
        vesk::Sys().close(fd);
        return fail(err);
    }
    m_hFile = fd;
    return true;
}

unsigned CFile::Read(void* lpBuf, unsigned nCount) {
    CheckOpen();
    if (nCount == 0)
        return 0;
    ssize_t n = vesk::RetryEintr([&] { return vesk::Sys().read(m_hFile, lpBuf, nCount); });
    // A handle opened without read access: Windows reports access denied.
    if (n < 0)
        Throw(errno == EBADF ? EACCES : errno);
    return static_cast<unsigned>(n);
}

void CFile::Write(const void* lpBuf, unsigned nCount) {
    CheckOpen();
    auto p = static_cast<const char*>(lpBuf);
    size_t left = nCount;
    while (left > 0) {
        ssize_t n = vesk::RetryEintr([&] { return vesk::Sys().write(m_hFile, p, left); });
        if (n < 0)
            Throw(errno == EBADF ? EACCES : errno);
        if (n == 0)
            Throw(ENOSPC);
        p += n;
        left -= static_cast<size_t>(n);
    }
}

uint64_t CFile::Seek(int64_t lOff, unsigned nFrom) {
    CheckOpen();
    int whence = nFrom == begin     ? SEEK_SET
                 : nFrom == current ? SEEK_CUR
                 : nFrom == end     ? SEEK_END
                                    : -1;
    if (whence < 0)
        Throw(EINVAL);
    off_t r = lseek(m_hFile, static_cast<off_t>(lOff), whence);
    if (r < 0) {
        vesk::RecordOsError("lseek", errno, m_strFileName.str());
        throw CFileException(CFileException::badSeek, errno, m_strFileName);
    }
    return static_cast<uint64_t>(r);
}

uint64_t CFile::GetPosition() const {
    CheckOpen();
    off_t r = lseek(m_hFile, 0, SEEK_CUR);
    if (r < 0)
        Throw(errno);
    return static_cast<uint64_t>(r);
}

uint64_t CFile::GetLength() const {
    CheckOpen();
    struct stat st;
    if (fstat(m_hFile, &st) != 0)
        Throw(errno);
    return static_cast<uint64_t>(st.st_size);
}

void CFile::SetLength(uint64_t dwNewLen) {
    CheckOpen();
    if (vesk::RetryEintr([&] { return ftruncate(m_hFile, static_cast<off_t>(dwNewLen)); }) != 0)
        Throw(errno);
}

void CFile::Flush() {
    CheckOpen();
    if (vesk::Sys().fsync(m_hFile) != 0 && errno != EINVAL)
        Throw(errno);
}

void CFile::Close() {
    if (!IsOpen())
        return;
    int fd = m_hFile;
    m_hFile = hFileNull;
    // Never repeated: Linux has released the descriptor even when close fails.
    if (vesk::Sys().close(fd) != 0 && errno != EINTR)
        Throw(errno);
}

void CFile::Abort() {
    if (!IsOpen())
        return;
    vesk::Sys().close(m_hFile);
    m_hFile = hFileNull;
}

CString CFile::GetFileName() const {
    int cut = m_strFileName.ReverseFind(L'/');
    return cut < 0 ? m_strFileName : m_strFileName.Mid(cut + 1);
}
