// Buffers for whole image files. A large one is mapped on its own, aligned to and
// advised for transparent huge pages: filling a fresh multi-megabyte buffer 4 KiB page by
// page takes a page fault each, and on a virtual machine those faults cost more than
// reading the file. Small ones come from the heap. (Released buffers are not kept for
// the next load: only JPEG and BMP files are read whole, and decoding them takes far
// longer than fresh pages do.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk::imaging {

class ImageBuffer {
public:
    ImageBuffer() = default;
    ~ImageBuffer() { Release(); }
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;

    // `size` uninitialised bytes in place of the old ones; false (and empty) without memory.
    bool Allocate(size_t size);
    // Keeps the first `size` bytes (no more than there are).
    void Shrink(size_t size) { m_size = size < m_size ? size : m_size; }
    uint8_t* data() { return m_data; }
    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    void Release();

    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_mapped = 0;  // length of the mapping; 0 for heap memory
};

}  // namespace vesk::imaging
