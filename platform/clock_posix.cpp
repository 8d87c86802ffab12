// The reentrant conversion: other threads may convert at the same time.
#include "platform/clock.h"

namespace vesk {

bool ToLocalTime(std::time_t t, std::tm& out) {
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return false;
    out = tm;
    return true;
}

}  // namespace vesk
