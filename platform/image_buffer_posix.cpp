#include "platform/image_buffer_posix.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace vesk::imaging {

namespace {

// From this size on a buffer gets a mapping of its own, rounded up to whole huge pages.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMapFrom = size_t{1} << 20;

#if !defined(_WIN32) && defined(MADV_HUGEPAGE)
// The last mapping released, kept for the next large file. The kernel zeroes the pages
// of a fresh mapping as they are first touched, which costs about as much as reading
// the file into them; a document's pages are loaded one after another from files of
// about the same size, so the next load can usually take this one as it is. One slot,
// and only up to kKeepAtMost, so what stays held is bounded.
constexpr size_t kKeepAtMost = size_t{64} << 20;

struct Spare {
    std::mutex lock;
    uint8_t* data = nullptr;
    size_t length = 0;
};

Spare& TheSpare() {
    static Spare* spare = new Spare;  // never destroyed: buffers may be released at exit
    return *spare;
}

// A kept mapping of at least `length` bytes (its whole length in `mapped`), or null.
uint8_t* TakeSpare(size_t length, size_t& mapped) {
    Spare& s = TheSpare();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.data || s.length < length)
        return nullptr;
    mapped = std::exchange(s.length, 0);
    return std::exchange(s.data, nullptr);
}

// Keeps the mapping when it is the larger one within bounds; unmaps what is not kept.
void GiveSpare(uint8_t* data, size_t length) {
    if (length <= kKeepAtMost) {
        Spare& s = TheSpare();
        std::lock_guard<std::mutex> hold(s.lock);
        if (length > s.length) {
            std::swap(data, s.data);
            std::swap(length, s.length);
        }
    }
    if (data)
        ::munmap(data, length);
}
#endif

}  // namespace

bool ImageBuffer::Allocate(size_t size) {
    Release();
    if (size == 0)
        return true;
#if !defined(_WIN32) && defined(MADV_HUGEPAGE)
    if (size >= kMapFrom && size <= SIZE_MAX - 2 * kHugePage) {
        // Map one huge page more than needed and trim both ends to the alignment.
        const size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
        if (uint8_t* kept = TakeSpare(length, m_mapped)) {
            m_data = kept;
            m_size = size;
            return true;
        }
        void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED)
            return false;
        auto* base = static_cast<uint8_t*>(raw);
        const size_t lead = (kHugePage - reinterpret_cast<uintptr_t>(base) % kHugePage) % kHugePage;
        if (lead)
            ::munmap(base, lead);
        if (kHugePage - lead)
            ::munmap(base + lead + length, kHugePage - lead);
        m_data = base + lead;
        m_mapped = length;
        // Only advice: without huge pages the buffer works as well, a little slower.
        ::madvise(m_data, length, MADV_HUGEPAGE);
        m_size = size;
        return true;
    }
#endif
    m_data = static_cast<uint8_t*>(std::malloc(size));
    if (!m_data)
        return false;
    m_size = size;
    return true;
}

void ImageBuffer::Release() {
#if !defined(_WIN32) && defined(MADV_HUGEPAGE)
    if (m_mapped)
        GiveSpare(m_data, m_mapped);
    else
#endif
        std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_mapped = 0;
}

}  // namespace vesk::imaging
