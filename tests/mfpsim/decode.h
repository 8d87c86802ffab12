// Independent readers for the tests: images through libjpeg and libtiff (support's
// decoders), PDF and zip packages through structural checks of their own, so what the
// emulator produces is checked by other code than its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <tiffio.h>

#include "support/sim_fixture.h"
#include "support/sim_local.h"

namespace mfpsim::test {

using Decoded = vesk::test::JpegInfo;
using vesk::test::DecodeTiff;
using vesk::test::DecodeTiffFile;
using vesk::test::TiffPage;

inline bool DecodeJpegBytes(const std::vector<uint8_t>& data, Decoded& out) {
    std::string why;
    return vesk::test::DecodeJpeg(data, out, why);
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    const std::string bytes = vesk::test::ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

// Entry names of a zip archive read from its central directory, checking each local
// header and stored entry's CRC; empty when the archive is malformed.
std::vector<std::string> ZipEntries(const std::vector<uint8_t>& zip);

// Checks the structure of a PDF: header, trailer, xref offsets that point at their
// objects; returns the page count of the /Pages node, -1 when malformed.
int PdfPageCount(const std::vector<uint8_t>& pdf);

}  // namespace mfpsim::test
