// Tables of cases kept as text under tests/data: one case a line, its kind first, then
// tab-separated fields (UTF-8); lines starting with '#' and blank lines are notes.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/charset.h"

namespace vesk::test {

// The fields after the kind of every row of that kind in tests/data/<file>; a table
// without such a row fails the test.
inline std::vector<std::vector<std::wstring>> DataRows(const std::string& file,
                                                       const std::string& kind) {
    std::ifstream in(std::string(VESK_TEST_DATA_DIR) + "/" + file, std::ios::binary);
    std::vector<std::vector<std::wstring>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::wstring> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(Utf8ToWide(line.substr(start, tab - start)));
        fields.push_back(Utf8ToWide(line.substr(start)));
        if (fields.size() > 1 && fields[0] == Utf8ToWide(kind))
            rows.emplace_back(fields.begin() + 1, fields.end());
    }
    EXPECT_FALSE(rows.empty()) << "no " << kind << " rows in " << file;
    return rows;
}

// The same rows read as whole numbers.
inline std::vector<std::vector<int>> DataInts(const std::string& file, const std::string& kind) {
    std::vector<std::vector<int>> out;
    for (const auto& row : DataRows(file, kind)) {
        out.emplace_back();
        for (const auto& field : row)
            out.back().push_back(std::stoi(field));
    }
    return out;
}

}  // namespace vesk::test
