// Bitmap handles are addresses of Bitmap records, known to a registry so that a stale or
// foreign handle is refused instead of being freed twice.
#include "platform/gdi.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

struct Bitmap {
    HBITMAP__ handle{};  // first, so the handle is the record's address
    int width = 0;
    int height = 0;
    std::unique_ptr<BYTE[]> pixels;
};

std::mutex g_mutex;
std::unordered_set<Bitmap*>& Live() {
    static auto* live = new std::unordered_set<Bitmap*>;
    return *live;
}

Bitmap* Find(HGDIOBJ obj) {
    auto* bitmap = reinterpret_cast<Bitmap*>(obj);
    return Live().count(bitmap) ? bitmap : nullptr;
}

}  // namespace

BOOL DeleteObject(HGDIOBJ obj) {
    Bitmap* bitmap = nullptr;
    {
        std::lock_guard lock(g_mutex);
        bitmap = Find(obj);
        if (!bitmap)
            return FALSE;
        Live().erase(bitmap);
    }
    delete bitmap;
    return TRUE;
}

int GetObjectW(HGDIOBJ obj, int size, LPVOID buffer) {
    std::lock_guard lock(g_mutex);
    const Bitmap* bitmap = Find(obj);
    if (!bitmap)
        return 0;
    if (!buffer)
        return sizeof(BITMAP);
    if (size < static_cast<int>(sizeof(BITMAP)))
        return 0;
    BITMAP info{};
    info.bmWidth = bitmap->width;
    info.bmHeight = bitmap->height;
    info.bmWidthBytes = bitmap->width * 4;
    info.bmPlanes = 1;
    info.bmBitsPixel = 32;
    info.bmBits = bitmap->pixels.get();
    std::memcpy(buffer, &info, sizeof info);
    return sizeof(BITMAP);
}

namespace vesk::gdi {

HBITMAP CreateBitmap32(int width, int height, BYTE** bits) {
    if (width <= 0 || height <= 0)
        return nullptr;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    auto bitmap = std::unique_ptr<Bitmap>(new (std::nothrow) Bitmap);
    if (!bitmap)
        return nullptr;
    bitmap->pixels.reset(new (std::nothrow) BYTE[bytes]);
    if (!bitmap->pixels)
        return nullptr;
    bitmap->width = width;
    bitmap->height = height;
    std::lock_guard lock(g_mutex);
    try {
        Live().insert(bitmap.get());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    *bits = bitmap->pixels.get();
    return &bitmap.release()->handle;
}

}  // namespace vesk::gdi
