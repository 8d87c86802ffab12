#include <linux/fs.h>
#include <sys/ioctl.h>

#include "cache_env.h"

namespace vesk::cachetest {

bool SetImmutable(CFile& file, bool on) {
    int flags = 0;
    if (::ioctl(file.m_hFile, FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ::ioctl(file.m_hFile, FS_IOC_SETFLAGS, &flags) == 0;
}

}  // namespace vesk::cachetest
