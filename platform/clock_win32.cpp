// The reentrant conversion: other threads may convert at the same time.
#include <ctime>

#include "platform/clock.h"

namespace vesk {

bool ToLocalTime(std::time_t t, std::tm& out) {
    std::tm tm{};
    if (localtime_s(&tm, &t) != 0)
        return false;
    out = tm;
    return true;
}

}  // namespace vesk
