// Turns a stored document into what a client asked for: one JPEG page, a TIFF (one
// page or all), a PDF, an XPS or an Office package; and several documents bound into
// one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/model.h"

namespace mfpsim {

// Output type codes of an open-document request.
enum OutputType : int {
    kOutPdf = 0,
    kOutTiff = 1,
    kOutPdf2 = 2,
    kOutXps = 3,
    kOutXps2 = 4,
    kOutPptx = 5,
    kOutDocx = 6,
    kOutXlsx = 7,
    kOutJpeg = 0x81,
};
// Bind format codes: the same numbers as the output types 0 to 4.
enum BindFormat : int { kBindPdf = 0, kBindTiff = 1, kBindPdf2 = 2, kBindXps = 3, kBindXps2 = 4 };

// Colour modes a client may ask for; 1 gives grey output, anything else keeps colour.
inline constexpr int kColourGrey = 1;

struct StoredDocument {
    Document doc;
    std::vector<std::vector<uint8_t>> pages;     // stored page files in page order
    std::optional<std::vector<uint8_t>> office;  // stored Office package, if any
};

struct RenderRequest {
    int output = kOutJpeg;
    int page = 0;        // 1-based; 0: the whole document (JPEG: the first page)
    bool grey = false;   // colour forbidden or grey output asked for
    int resolution = 0;  // dots per inch to scale down to; 0 keeps the stored one
};

// Fills `out`; on failure returns a device error code (err::kDocFormat...).
int Render(const StoredDocument& doc, const RenderRequest& request, std::vector<uint8_t>& out);
int RenderBound(const std::vector<StoredDocument>& docs, int bindFormat, bool grey,
                std::vector<uint8_t>& out);

// The extension a file type code or output type gives (".pdf"...), empty when none.
std::string FileTypeExtension(int fileType);

// The bytes [offset, offset + n) of a synthetic document's content: a fixed
// pseudo-random pattern whose period (65521 bytes) lines up with no chunk size, so a
// receiver can check every byte and its place.
inline constexpr size_t kSyntheticPeriod = 65521;
void SyntheticContent(int64_t offset, uint8_t* out, size_t n);
// The same bytes without a copy: a pointer to [offset, offset + n) of the content in
// one prepared, read-only buffer (the pattern repeated), so a stream of any size is
// sent from it as it stands. n is at most kSyntheticSliceMax.
inline constexpr size_t kSyntheticSliceMax = 1u << 20;
const uint8_t* SyntheticSlice(int64_t offset, size_t n);

}  // namespace mfpsim
