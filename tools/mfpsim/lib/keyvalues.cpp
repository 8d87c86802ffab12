// The key = value text of the device folder and of fault settings, without file access,
// so that test clients on other systems can use it too.
#include "tools/mfpsim/lib/ini.h"

#include <charconv>
#include <sstream>

namespace mfpsim {

namespace {

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) {
        --e;
    }
    return s.substr(b, e - b);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string EscapeValue(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        // Leading and trailing blanks would be trimmed on reading: escape them.
        bool edgeBlank = (c == ' ' || c == '\t') && (i == 0 || i + 1 == raw.size());
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f || edgeBlank) {
            static const char* kHex = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UnescapeValue(const std::string& escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        char c = escaped[i];
        if (c != '\\' || i + 1 >= escaped.size()) {
            out += c;
            continue;
        }
        char n = escaped[++i];
        if (n == 'n') {
            out += '\n';
        } else if (n == 'r') {
            out += '\r';
        } else if (n == 'x' && i + 2 < escaped.size() && HexDigit(escaped[i + 1]) >= 0 &&
                   HexDigit(escaped[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(escaped[i + 1]) * 16 + HexDigit(escaped[i + 2]));
            i += 2;
        } else {
            out += n;
        }
    }
    return out;
}

void KeyValues::SetInts(const std::string& key, const std::vector<int>& values) {
    std::string s;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) {
            s += ',';
        }
        s += std::to_string(values[i]);
    }
    values_[key] = s;
}

std::string KeyValues::Get(const std::string& key, const std::string& fallback) const {
    auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
}

int64_t KeyValues::GetInt(const std::string& key, int64_t fallback) const {
    auto it = values_.find(key);
    if (it == values_.end()) {
        return fallback;
    }
    const std::string& s = it->second;
    int64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) {
        return fallback;
    }
    return v;
}

std::vector<int> KeyValues::GetInts(const std::string& key, size_t count) const {
    std::vector<int> out(count, 0);
    std::string s = Get(key);
    size_t idx = 0;
    size_t pos = 0;
    while (idx < count && pos <= s.size() && !s.empty()) {
        size_t comma = s.find(',', pos);
        std::string part =
            Trim(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        int v = 0;
        std::from_chars(part.data(), part.data() + part.size(), v);
        out[idx++] = v;
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return out;
}

std::string KeyValues::Serialize() const {
    std::string out;
    for (const auto& [k, v] : values_) {
        out += k;
        out += " = ";
        out += EscapeValue(v);
        out += '\n';
    }
    return out;
}

KeyValues KeyValues::Parse(const std::string& text) {
    KeyValues kv;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') {
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = Trim(t.substr(0, eq));
        if (key.empty()) {
            continue;
        }
        kv.values_[key] = UnescapeValue(Trim(t.substr(eq + 1)));
    }
    return kv;
}

}  // namespace mfpsim
