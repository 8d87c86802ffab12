// libFuzzer target for vesk's text from outside: names typed by the user and text from
// the device as it reaches the terminal. The input is split at newlines into the cells
// of a two-column table; the whole input is also checked as a typed name.
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/vesk/errors.h"
#include "tools/vesk/text.h"

namespace {

// Nothing a terminal would take as a control: no C0, DEL or C1 (0xC2 0x80..0x9F).
bool Safe(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        if (c == 0xC2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0x80)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string shown = vesk::cli::Printable(input);
    Check(Safe(shown), "printable text holds no control");
    Check(shown.size() <= input.size(), "printable text is no longer");

    try {
        vesk::cli::CheckTypedName(input, "a name", 60);
        Check(shown == input, "an accepted name has no control");
        Check(input.size() <= 60, "an accepted name fits the field");
    } catch (const vesk::cli::UsageError&) {
    }

    std::vector<std::string> cells;
    for (size_t start = 0;;) {
        const size_t nl = input.find('\n', start);
        cells.push_back(input.substr(start, nl - start));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    vesk::cli::Table table({"A", "B"});
    for (size_t i = 0; i < cells.size(); i += 2)
        table.Add({cells[i], i + 1 < cells.size() ? cells[i + 1] : std::string()});
    for (const std::string& line : table.Lines())
        Check(Safe(line), "a table line holds no control");
    return 0;
}
