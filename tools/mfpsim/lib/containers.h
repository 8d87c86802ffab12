// Document renditions the emulated device hands out besides plain JPEG and TIFF:
// PDF wrapping the page images, XPS and Office Open XML packages (stored zip).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/imaging.h"

namespace mfpsim {

// A minimal PDF 1.4: one page per image, JPEG pages as DCTDecode and bilevel pages as
// CCITT group 4, each page sized from the image's resolution. `title` goes into the
// document information.
std::vector<uint8_t> MakePdf(const std::vector<img::EncodedPage>& pages, const std::string& title);

struct ZipEntry {
    std::string name;
    std::vector<uint8_t> data;
};
// A zip archive with stored (uncompressed) entries and fixed timestamps, so the same
// input always gives the same bytes.
std::vector<uint8_t> MakeZip(const std::vector<ZipEntry>& entries);
uint32_t Crc32(const uint8_t* data, size_t size);

// An XPS package with one fixed page per image (JPEG resources). `openXps` selects the
// OpenXPS namespaces instead of the original ones.
// Group-4 pages cannot be XPS resources: callers pass JPEG pages only.
std::vector<uint8_t> MakeXps(const std::vector<img::EncodedPage>& pages, bool openXps);

enum class OfficeKind { kPresentation, kText, kSpreadsheet };
// A small Office Open XML package: a text document with one paragraph per line, a
// spreadsheet with one row per line, or a presentation with one slide per line.
std::vector<uint8_t> MakeOffice(OfficeKind kind, const std::string& title,
                                const std::vector<std::string>& lines);

std::string XmlEscape(const std::string& s);

}  // namespace mfpsim
