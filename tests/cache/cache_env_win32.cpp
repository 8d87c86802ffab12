#include "cache_env.h"

namespace vesk::cachetest {

// The file is open without sharing deletion, so deleting it fails until it is closed.
bool SetImmutable(CFile&, bool) {
    return true;
}

}  // namespace vesk::cachetest
