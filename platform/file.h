// CFile and CFileException with the MFC members, flag values and cause values this
// library uses. Exceptions are thrown by value: catch `const CFileException&`.
// POSIX implementation in file_posix.cpp.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/cstring.h"
#include "platform/export.h"

class VESK_API CFileException : public std::exception {
public:
    enum {
        none = 0,
        genericException = 1,
        fileNotFound = 2,
        badPath = 3,
        tooManyOpenFiles = 4,
        accessDenied = 5,
        invalidFile = 6,
        removeCurrentDir = 7,
        directoryFull = 8,
        badSeek = 9,
        hardIO = 10,
        sharingViolation = 11,
        lockViolation = 12,
        diskFull = 13,
        endOfFile = 14,
    };

    explicit CFileException(int cause = none, long lOsError = -1,
                            const wchar_t* lpszFileName = nullptr);

    int m_cause;
    long m_lOsError;  // errno on POSIX, -1 when there is none
    CString m_strFileName;

    const char* what() const noexcept override { return m_what.c_str(); }

    // The cause that an operating-system error (errno) stands for.
    static int OsErrorToException(long lOsError);
    static int ErrnoToException(int nErrno) { return OsErrorToException(nErrno); }
    [[noreturn]] static void ThrowOsError(long lOsError, const wchar_t* lpszFileName = nullptr);
    [[noreturn]] static void ThrowErrno(int nErrno, const wchar_t* lpszFileName = nullptr) {
        ThrowOsError(nErrno, lpszFileName);
    }

private:
    std::string m_what;
};

class VESK_API CFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : unsigned { begin = 0x0, current = 0x1, end = 0x2 };
    static constexpr int hFileNull = -1;

    CFile() = default;
    // Opens or throws CFileException.
    CFile(const wchar_t* lpszFileName, unsigned nOpenFlags);
    // Closes without throwing.
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // False on failure, with the cause in *pError when given; never throws.
    //
    // Sharing: shareCompat and shareExclusive (as in MFC, both deny every other open)
    // fail while any other CFile has the file open and keep others out; the other
    // share modes coexist with each other. Enforced between CFile objects only.
    virtual bool Open(const wchar_t* lpszFileName, unsigned nOpenFlags,
                      CFileException* pError = nullptr);

    // Reads up to nCount bytes; 0 at the end of the file. Throws on failure.
    virtual unsigned Read(void* lpBuf, unsigned nCount);
    // Writes all nCount bytes or throws (diskFull when the volume is full).
    virtual void Write(const void* lpBuf, unsigned nCount);
    virtual uint64_t Seek(int64_t lOff, unsigned nFrom);
    void SeekToBegin() { Seek(0, begin); }
    uint64_t SeekToEnd() { return Seek(0, end); }
    virtual uint64_t GetPosition() const;
    virtual uint64_t GetLength() const;
    virtual void SetLength(uint64_t dwNewLen);
    virtual void Flush();
    // Throws when the close reports an error; the file is closed either way.
    virtual void Close();
    // Closes and ignores errors.
    virtual void Abort();

    CString GetFilePath() const { return m_strFileName; }
    CString GetFileName() const;
    bool IsOpen() const { return m_hFile != hFileNull; }

    int m_hFile = hFileNull;

protected:
    [[noreturn]] void Throw(int err) const;
    void CheckOpen() const;

    CString m_strFileName;
};
