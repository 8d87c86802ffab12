// Text for the terminal and text from the user, apart from the rest of vesk so that a
// fuzz target can take it alone: making device text safe to print, checking typed
// names, and aligned tables.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vesk::cli {

// Text from a device or a file, made safe for a terminal: control characters (C0, DEL
// and C1, which can start escape sequences) become '?'.
std::string Printable(const std::string& s);

// A name the user typed for the device to keep or to look up (device, box, document,
// owner): not blank, no control characters, valid UTF-8, at most maxBytes bytes of
// UTF-8 (the device's field). `what` names it in the message ("a box name"). Throws
// UsageError.
void CheckTypedName(const std::string& name, const std::string& what, size_t maxBytes);

// Columns the text takes on a terminal: two for a wide East Asian character, none for
// a combining mark.
size_t DisplayWidth(const std::string& s);

// A simple aligned table on stdout: columns padded to their widest cell.
class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    void Print() const;
    // The lines Print writes, without their line ends.
    std::vector<std::string> Lines() const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace vesk::cli
