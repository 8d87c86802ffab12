// A typed key/value store standing in for the Windows registry: one SQLite database
// per hive, keys named with backslash paths and compared without regard to case, as
// Windows does. Writes are atomic and safe across processes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/export.h"

namespace vesk::reg {

enum class Hive { CurrentUser, LocalMachine };
enum class Disposition { CreatedNewKey, OpenedExistingKey };
enum class ValueType { None, Dword, String };

class VESK_API Key {
public:
    // Opens the key, creating it (and its parents) when missing. Null on failure.
    static std::unique_ptr<Key> CreateOrOpen(Hive hive, const std::wstring& path,
                                             Disposition* disposition = nullptr);
    // Opens an existing key; null when it does not exist or the store fails.
    static std::unique_ptr<Key> Open(Hive hive, const std::wstring& path);
    // Removes a key with its values and sub-keys.
    static bool Delete(Hive hive, const std::wstring& path);

    virtual ~Key() = default;

    // A read fails (nullopt) when the value is missing or has another type.
    virtual std::optional<uint32_t> GetDword(const std::wstring& name) const = 0;
    virtual std::optional<std::wstring> GetString(const std::wstring& name) const = 0;
    virtual ValueType GetType(const std::wstring& name) const = 0;
    virtual bool SetDword(const std::wstring& name, uint32_t value) = 0;
    virtual bool SetString(const std::wstring& name, const std::wstring& value) = 0;
    virtual bool DeleteValue(const std::wstring& name) = 0;
};

// Where each hive lives. Defaults: HKCU in $XDG_CONFIG_HOME/vesk/hkcu.db (or
// ~/.config), HKLM in $VESK_HKLM_DIR/hklm.db (or the HKCU folder when unset).
// Tests point both at a temporary folder; an empty path restores the default.
VESK_API void SetHivePath(Hive hive, const std::wstring& databaseFile);
VESK_API std::wstring GetHivePath(Hive hive);

}  // namespace vesk::reg
