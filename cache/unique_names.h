// The process-wide letter and counter of the unique folder and file names. Both start
// at "A" and 1 when the library is loaded; tests move them to reach the wrap-around.
#pragma once

#include "platform/export.h"

namespace vesk::cache {

enum class UniqueSeries { Folder, File };

struct UniqueState {
    wchar_t letter;
    int counter;
    bool operator==(const UniqueState&) const = default;
};

VESK_API UniqueState GetUniqueState(UniqueSeries series);
VESK_API void SetUniqueState(UniqueSeries series, UniqueState state);

}  // namespace vesk::cache
