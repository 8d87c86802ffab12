// Small "key = value" files, the emulator's storage format. One object per file, keys
// unique, values kept as bytes (UTF-8 names pass unchanged); backslash escapes keep
// newlines and control bytes on one line. Files are written atomically (temporary file,
// fsync, rename) so a crash never leaves a half-written object behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mfpsim {

class KeyValues {
public:
    void Set(const std::string& key, const std::string& value) { values_[key] = value; }
    void SetInt(const std::string& key, int64_t value) { values_[key] = std::to_string(value); }
    // Integers as a comma-separated list.
    void SetInts(const std::string& key, const std::vector<int>& values);

    bool Has(const std::string& key) const { return values_.count(key) != 0; }
    std::string Get(const std::string& key, const std::string& fallback = "") const;
    // A missing key or a value that is not a whole decimal integer gives the fallback.
    int64_t GetInt(const std::string& key, int64_t fallback = 0) const;
    // Missing entries are filled with 0 up to `count`; extra entries are dropped.
    std::vector<int> GetInts(const std::string& key, size_t count) const;

    const std::map<std::string, std::string>& All() const { return values_; }

    std::string Serialize() const;
    // Lines without '=' and lines starting with '#' or ';' are ignored.
    static KeyValues Parse(const std::string& text);

    static std::optional<KeyValues> Load(const std::filesystem::path& path);
    bool Save(const std::filesystem::path& path, bool durable = true) const;

private:
    std::map<std::string, std::string> values_;
};

// Writes `data` to `path` through a temporary file in the same folder and a rename.
// `durable` also flushes the data to disk before the rename; bulk generation skips it.
bool WriteFileAtomic(const std::filesystem::path& path, const void* data, size_t size,
                     bool durable = true);
inline bool WriteFileAtomic(const std::filesystem::path& path, const std::vector<uint8_t>& data,
                            bool durable = true) {
    return WriteFileAtomic(path, data.data(), data.size(), durable);
}
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path);

std::string EscapeValue(const std::string& raw);
std::string UnescapeValue(const std::string& escaped);

}  // namespace mfpsim
