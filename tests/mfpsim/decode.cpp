#include "decode.h"

#include <regex>

#include "tools/mfpsim/lib/containers.h"

namespace mfpsim::test {

namespace {
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
}  // namespace

std::vector<std::string> ZipEntries(const std::vector<uint8_t>& zip) {
    std::vector<std::string> names;
    if (zip.size() < 22)
        return {};
    size_t eocd = zip.size() - 22;
    if (U32(zip, eocd) != 0x06054b50)
        return {};
    uint16_t count = U16(zip, eocd + 10);
    size_t cd = U32(zip, eocd + 16);
    for (uint16_t i = 0; i < count; ++i) {
        if (cd + 46 > zip.size() || U32(zip, cd) != 0x02014b50)
            return {};
        uint32_t crc = U32(zip, cd + 16);
        uint32_t size = U32(zip, cd + 20);
        uint16_t nameLen = U16(zip, cd + 28);
        uint16_t extra = U16(zip, cd + 30);
        uint16_t comment = U16(zip, cd + 32);
        size_t local = U32(zip, cd + 42);
        std::string name(zip.begin() + static_cast<std::ptrdiff_t>(cd + 46),
                         zip.begin() + static_cast<std::ptrdiff_t>(cd + 46 + nameLen));
        if (local + 30 > zip.size() || U32(zip, local) != 0x04034b50)
            return {};
        size_t data = local + 30 + U16(zip, local + 26) + U16(zip, local + 28);
        if (data + size > zip.size() || Crc32(zip.data() + data, size) != crc)
            return {};
        names.push_back(name);
        cd += 46 + nameLen + extra + comment;
    }
    return names;
}

int PdfPageCount(const std::vector<uint8_t>& pdf) {
    std::string s(pdf.begin(), pdf.end());
    if (s.rfind("%PDF-", 0) != 0 || s.size() < 32)
        return -1;
    size_t sx = s.rfind("startxref");
    if (sx == std::string::npos || s.find("%%EOF", sx) == std::string::npos)
        return -1;
    size_t xref = std::stoul(s.substr(sx + 10));
    if (s.compare(xref, 4, "xref") != 0)
        return -1;
    std::smatch m;
    std::string tail = s.substr(xref);
    if (!std::regex_search(tail, m, std::regex("xref\\n0 (\\d+)\\n")))
        return -1;
    int n = std::stoi(m[1]);
    size_t line = xref + m.length(0);
    for (int i = 0; i < n; ++i, line += 20) {
        if (i == 0)
            continue;
        size_t off = std::stoul(s.substr(line, 10));
        std::string head = std::to_string(i) + " 0 obj";
        if (s.compare(off, head.size(), head) != 0)
            return -1;
    }
    if (!std::regex_search(s, m, std::regex("/Type /Pages /Count (\\d+)")))
        return -1;
    return std::stoi(m[1]);
}

}  // namespace mfpsim::test
