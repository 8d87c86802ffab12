#include "platform/image_buffer_posix.h"

#include <cstdlib>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace vesk::imaging {

namespace {

// From this size on a buffer gets a mapping of its own, rounded up to whole huge pages.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMapFrom = size_t{1} << 20;

}  // namespace

bool ImageBuffer::Allocate(size_t size) {
    Release();
    if (size == 0)
        return true;
#if !defined(_WIN32) && defined(MADV_HUGEPAGE)
    if (size >= kMapFrom && size <= SIZE_MAX - 2 * kHugePage) {
        // Map one huge page more than needed and trim both ends to the alignment.
        const size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
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
        ::munmap(m_data, m_mapped);
    else
#endif
        std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_mapped = 0;
}

}  // namespace vesk::imaging
