#include "tools/mfpsim/lib/ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
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

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
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

std::optional<KeyValues> KeyValues::Load(const std::filesystem::path& path) {
    auto bytes = ReadFileBytes(path);
    if (!bytes) {
        return std::nullopt;
    }
    return Parse(std::string(bytes->begin(), bytes->end()));
}

bool KeyValues::Save(const std::filesystem::path& path, bool durable) const {
    std::string text = Serialize();
    return WriteFileAtomic(path, text.data(), text.size(), durable);
}

bool WriteFileAtomic(const std::filesystem::path& path, const void* data, size_t size,
                     bool durable) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path tmp = path;
    tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok =
        WriteAll(fd, static_cast<const uint8_t*>(data), size) && (!durable || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> out((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace mfpsim
