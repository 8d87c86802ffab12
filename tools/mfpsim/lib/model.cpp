#include "tools/mfpsim/lib/model.h"

#include <algorithm>
#include <cctype>

namespace mfpsim {

std::string IdentifierForModel(int model, bool secondFamily) {
    return std::string(secondFamily ? kIdentifierPrefixB : kIdentifierPrefixA) +
           std::to_string(model) + ".1";
}

int ModelFromIdentifier(const std::string& identifier) {
    size_t pos = 0;
    for (int i = 0; i < 12; ++i) {
        pos = identifier.find('.', pos);
        if (pos == std::string::npos) {
            return -1;
        }
        ++pos;
    }
    size_t end = identifier.find('.', pos);
    std::string digits = identifier.substr(pos, end == std::string::npos ? end : end - pos);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stoi(digits);
}

std::string DeviceUnit(const std::string& identifier) {
    size_t pos = 0;
    for (int i = 0; i < 13; ++i) {
        pos = identifier.find('.', i == 0 ? 1 : pos + 1);
        if (pos == std::string::npos) {
            return "";
        }
    }
    return identifier.substr(0, pos);
}

int ProtocolLevel(int major, int minor) {
    return major * 10 + std::min(minor, 9);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace mfpsim
