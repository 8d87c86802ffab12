// CFileException and the parts of CFile that do not depend on the system; the rest is
// in file_posix.cpp and file_win32.cpp. Causes are derived from errno values on every
// system (the Windows backend translates its error codes first).
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

const char* CauseName(int cause) {
    static const char* names[] = {
        "none",         "genericException", "fileNotFound",     "badPath",       "tooManyOpenFiles",
        "accessDenied", "invalidFile",      "removeCurrentDir", "directoryFull", "badSeek",
        "hardIO",       "sharingViolation", "lockViolation",    "diskFull",      "endOfFile"};
    return cause >= 0 && cause <= CFileException::endOfFile ? names[cause] : "unknown";
}

}  // namespace

CFileException::CFileException(int cause, long lOsError, const wchar_t* lpszFileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(lpszFileName) {
    m_what = std::string("file exception ") + CauseName(cause);
    if (lOsError > 0) {
        m_what += ": ";
        m_what += std::generic_category().message(static_cast<int>(lOsError));
    }
    if (!m_strFileName.IsEmpty())
        m_what += " (" + vesk::WideToUtf8(m_strFileName.str()) + ")";
}

int CFileException::OsErrorToException(long lOsError) {
    switch (lOsError) {
        case 0:
            return none;
        case ENOENT:
            return fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
        case EINVAL:
            return badPath;
        case EMFILE:
        case ENFILE:
            return tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EEXIST:
        case ETXTBSY:
            return accessDenied;
        case EBADF:
            return invalidFile;
        case EBUSY:
            return removeCurrentDir;
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
        case EFBIG:
            return diskFull;
        case EIO:
            return hardIO;
        case EWOULDBLOCK:
            return sharingViolation;
        case ESPIPE:
            return badSeek;
        default:
            return genericException;
    }
}

void CFileException::ThrowOsError(long lOsError, const wchar_t* lpszFileName) {
    throw CFileException(OsErrorToException(lOsError), lOsError, lpszFileName);
}

CFile::CFile(const wchar_t* lpszFileName, unsigned nOpenFlags) {
    CFileException e;
    if (!Open(lpszFileName, nOpenFlags, &e))
        throw e;
}

CFile::~CFile() {
    Abort();
}

void CFile::Throw(int err) const {
    vesk::RecordOsError("file", err, m_strFileName.str());
    CFileException::ThrowOsError(err, m_strFileName);
}

void CFile::CheckOpen() const {
    if (!IsOpen())
        throw CFileException(CFileException::invalidFile, EBADF, m_strFileName);
}
