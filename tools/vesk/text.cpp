#include "tools/vesk/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/charset.h"
#include "tools/vesk/errors.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

std::string Printable(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        // U+0080 to U+009F are 0xC2 0x80..0x9F in UTF-8.
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0 &&
            static_cast<unsigned char>(s[i + 1]) >= 0x80) {
            out += '?';
            ++i;
        } else {
            out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
        }
    }
    return out;
}

void CheckTypedName(const std::string& name, const std::string& what, size_t maxBytes) {
    if (std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c); }))
        throw UsageError(what + " cannot be empty or blank");
    if (Printable(name) != name)
        throw UsageError(what + " cannot hold control characters");
    // What does not survive the round trip was not UTF-8.
    if (vesk::WideToUtf8(vesk::Utf8ToWide(name)) != name)
        throw UsageError(what + " must be UTF-8 text");
    if (name.size() > maxBytes) {
        throw UsageError(what + " can have at most " + std::to_string(maxBytes) +
                         " bytes of UTF-8 (this one has " + std::to_string(name.size()) + ")");
    }
}

size_t DisplayWidth(const std::string& s) {
    return sys::DisplayColumns(vesk::Utf8ToWide(s));
}

std::vector<std::string> Table::Lines() const {
    std::vector<size_t> widths(header_.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(Printable(row[i])));
    };
    measure(header_);
    for (const auto& r : rows_)
        measure(r);
    std::vector<std::string> lines;
    auto add = [&](const std::vector<std::string>& row) {
        std::string line;
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            const std::string cell = Printable(row[i]);
            line += cell;
            if (i + 1 < row.size())
                line.append(widths[i] - DisplayWidth(cell) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    };
    add(header_);
    for (const auto& r : rows_)
        add(r);
    return lines;
}

void Table::Print() const {
    for (const std::string& line : Lines())
        std::printf("%s\n", line.c_str());
}

}  // namespace vesk::cli
