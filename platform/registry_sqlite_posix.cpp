// The registry store of registry.h on SQLite: one database per hive, one row per key
// (its path as first written and a case-folded copy for lookup) and one per value.
// Every change runs in a BEGIN IMMEDIATE transaction, so writers in several
// processes queue on the database lock (with a busy time-out) instead of losing
// writes, and "created or opened" is decided under that lock.
#include <fcntl.h>
#include <locale.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <mutex>
#include <vector>

#include "platform/charset.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/syscalls.h"

namespace vesk::reg {
namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr int kSchemaVersion = 1;

// ---- hive locations ---------------------------------------------------------

std::mutex g_hiveMutex;
std::wstring g_hiveOverride[2];

std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    return WideToUtf8(env::HomeDirectory()) + "/.config";
}

std::wstring DefaultHivePath(Hive hive) {
    if (hive == Hive::LocalMachine) {
        const char* dir = std::getenv("VESK_HKLM_DIR");
        if (dir && *dir)
            return Utf8ToWide(std::string(dir) + "/hklm.db");
        return Utf8ToWide(ConfigHome() + "/vesk/hklm.db");
    }
    return Utf8ToWide(ConfigHome() + "/vesk/hkcu.db");
}

// ---- names ------------------------------------------------------------------

// Upper-casing as Windows compares key and value names, in a locale that knows
// Unicode whatever the process locale is.
std::wstring Fold(const std::wstring& s) {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::wstring out = s;
    for (auto& c : out) {
        if (utf8)
            c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), utf8));
        else if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return out;
}

// Backslash-separated levels; empty levels (doubled, leading or trailing
// backslashes) are dropped.
std::vector<std::wstring> Levels(const std::wstring& path) {
    std::vector<std::wstring> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start)
            out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::wstring Join(const std::vector<std::wstring>& levels, size_t count) {
    std::wstring out;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += L'\\';
        out += levels[i];
    }
    return out;
}

// ---- connections ------------------------------------------------------------

// The unix VFS opens files through our system-call table, so tests can make the
// database file unreadable the same way as any other file.
int SqliteOpenShim(const char* path, int flags, int mode) {
    return Sys().open(path, flags, static_cast<mode_t>(mode));
}

void InstallSqliteSeam() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr); vfs && vfs->iVersion >= 3)
            vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(SqliteOpenShim));
    });
}

void RecordSqlite(const char* call, sqlite3* db, const std::string& file) {
    int sys = db ? sqlite3_system_errno(db) : 0;
    std::string detail = "sqlite: ";
    detail += db ? sqlite3_errmsg(db) : "out of memory";
    if (db)
        detail += " (" + std::to_string(sqlite3_extended_errcode(db)) + ")";
    RecordOsError(call, sys ? sys : EIO, file, std::move(detail));
}

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    Stmt& Bind(int i, int64_t v) {
        if (m_stmt)
            sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::wstring& v) {
        if (m_stmt) {
            std::string u = WideToUtf8(v);
            sqlite3_bind_text(m_stmt, i, u.data(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
        }
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return m_stmt ? sqlite3_step(m_stmt) : sqlite3_errcode(m_db); }
    int64_t Int(int col) const { return sqlite3_column_int64(m_stmt, col); }
    std::wstring Text(int col) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, col));
        int n = sqlite3_column_bytes(m_stmt, col);
        return p ? Utf8ToWide(std::string_view(p, static_cast<size_t>(n))) : std::wstring();
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One write transaction; rolled back unless committed.
class WriteTxn {
public:
    explicit WriteTxn(sqlite3* db) : m_db(db) { m_open = Exec(db, "BEGIN IMMEDIATE"); }
    ~WriteTxn() {
        if (m_open)
            Exec(m_db, "ROLLBACK");
    }
    WriteTxn(const WriteTxn&) = delete;
    WriteTxn& operator=(const WriteTxn&) = delete;
    bool open() const { return m_open; }
    bool Commit() {
        if (!m_open)
            return false;
        m_open = false;
        if (Exec(m_db, "COMMIT"))
            return true;
        Exec(m_db, "ROLLBACK");
        return false;
    }

private:
    sqlite3* m_db;
    bool m_open;
};

int64_t SchemaVersion(sqlite3* db) {
    // Finalized before anything else runs: a statement left open would keep a read
    // lock that dead-locks two connections upgrading to write at the same time.
    Stmt version(db, "PRAGMA user_version");
    return version.Step() == SQLITE_ROW ? version.Int(0) : -1;
}

bool CreateSchema(sqlite3* db) {
    int64_t v = SchemaVersion(db);
    if (v < 0)
        return false;
    if (v >= kSchemaVersion)
        return true;
    WriteTxn txn(db);
    if (!txn.open())
        return false;
    // Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key can
    // never write into a key made later.
    return Exec(db,
                "CREATE TABLE IF NOT EXISTS keys("
                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                " path TEXT NOT NULL,"
                " folded TEXT NOT NULL UNIQUE);"
                "CREATE TABLE IF NOT EXISTS vals("
                " key INTEGER NOT NULL,"
                " name TEXT NOT NULL,"
                " folded TEXT NOT NULL,"
                " type INTEGER NOT NULL,"
                " ival INTEGER,"
                " sval TEXT,"
                " PRIMARY KEY(key, folded)) WITHOUT ROWID;"
                "INSERT OR IGNORE INTO keys(path, folded) VALUES('', '');"
                "PRAGMA user_version = 1;") &&
           txn.Commit();
}

sqlite3* OpenDatabase(const std::string& file) {
    InstallSqliteSeam();
    auto cut = file.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : (cut == 0 ? "/" : file.substr(0, cut));
    if (!fs::IsDirectory(Utf8ToWide(dir)) && !fs::CreateDirectoryTree(Utf8ToWide(dir)))
        return nullptr;
    // Made here first so a new hive is private to the user; SQLite gives its
    // journal files the same permissions.
    int fd =
        RetryEintr([&] { return Sys().open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); });
    if (fd < 0) {
        RecordOsError("open", errno, file);
        return nullptr;
    }
    Sys().close(fd);

    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        RecordSqlite("sqlite3_open", db, file);
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // WAL lets readers and a writer work at once but needs shared memory that
    // network file systems do not offer; there the rollback journal stays.
    if (fs::IsFixedVolume(Utf8ToWide(dir))) {
        Exec(db, "PRAGMA journal_mode=WAL");
        Exec(db, "PRAGMA synchronous=NORMAL");
    }
    if (!CreateSchema(db)) {
        RecordSqlite("sqlite3_exec", db, file);
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

// Connections are kept per thread and per database file, so no connection is ever
// shared between threads. A forked child must not use its parent's connections:
// it leaves them alone and opens its own.
struct Connection {
    sqlite3* db = nullptr;
    pid_t pid = 0;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (db && pid == getpid())
            sqlite3_close_v2(db);
    }
};

sqlite3* Db(const std::string& file) {
    thread_local std::map<std::string, Connection> connections;
    auto& c = connections[file];
    if (c.db && c.pid == getpid())
        return c.db;
    c.db = OpenDatabase(file);
    c.pid = getpid();
    return c.db;
}

std::string HiveFile(Hive hive) {
    return WideToUtf8(GetHivePath(hive));
}

// ---- keys -------------------------------------------------------------------

std::optional<int64_t> FindKey(sqlite3* db, const std::wstring& folded, int* rc = nullptr) {
    Stmt s(db, "SELECT id FROM keys WHERE folded = ?1");
    int r = s.Bind(1, folded).Step();
    if (rc)
        *rc = r;
    if (r == SQLITE_ROW)
        return s.Int(0);
    return std::nullopt;
}

int KeyExists(sqlite3* db, int64_t id) {
    Stmt s(db, "SELECT 1 FROM keys WHERE id = ?1");
    return s.Bind(1, id).Step();
}

class SqliteKey final : public Key {
public:
    SqliteKey(std::string file, int64_t id) : m_file(std::move(file)), m_id(id) {}

    std::optional<uint32_t> GetDword(const std::wstring& name) const override {
        auto row = Read(name);
        if (!row || row->type != ValueType::Dword)
            return std::nullopt;
        return static_cast<uint32_t>(row->ival);
    }
    std::optional<std::wstring> GetString(const std::wstring& name) const override {
        auto row = Read(name);
        if (!row || row->type != ValueType::String)
            return std::nullopt;
        return row->sval;
    }
    ValueType GetType(const std::wstring& name) const override {
        auto row = Read(name);
        return row ? row->type : ValueType::None;
    }
    bool SetDword(const std::wstring& name, uint32_t value) override {
        return Write(name, ValueType::Dword, value, nullptr);
    }
    bool SetString(const std::wstring& name, const std::wstring& value) override {
        return Write(name, ValueType::String, 0, &value);
    }
    bool DeleteValue(const std::wstring& name) override;

private:
    struct Row {
        ValueType type;
        int64_t ival;
        std::wstring sval;
    };
    std::optional<Row> Read(const std::wstring& name) const;
    bool Write(const std::wstring& name, ValueType type, uint32_t ival, const std::wstring* sval);

    std::string m_file;
    int64_t m_id;
};

std::optional<SqliteKey::Row> SqliteKey::Read(const std::wstring& name) const {
    sqlite3* db = Db(m_file);
    if (!db)
        return std::nullopt;
    Stmt s(db, "SELECT type, ival, sval FROM vals WHERE key = ?1 AND folded = ?2");
    int rc = s.Bind(1, m_id).Bind(2, Fold(name)).Step();
    if (rc == SQLITE_ROW) {
        auto type = static_cast<ValueType>(s.Int(0));
        if (type != ValueType::Dword && type != ValueType::String)
            return std::nullopt;
        return Row{type, s.Int(1), s.Text(2)};
    }
    if (rc == SQLITE_DONE)
        RecordOsError("read value", ENOENT, WideToUtf8(name));
    else
        RecordSqlite("sqlite3_step", db, m_file);
    return std::nullopt;
}

bool SqliteKey::Write(const std::wstring& name, ValueType type, uint32_t ival,
                      const std::wstring* sval) {
    sqlite3* db = Db(m_file);
    if (!db)
        return false;
    WriteTxn txn(db);
    if (!txn.open()) {
        RecordSqlite("BEGIN IMMEDIATE", db, m_file);
        return false;
    }
    // The key may have been deleted (by any process) since it was opened.
    int rc = KeyExists(db, m_id);
    if (rc == SQLITE_DONE) {
        RecordOsError("write value", ENOENT, m_file, "key was deleted");
        return false;
    }
    if (rc != SQLITE_ROW) {
        RecordSqlite("sqlite3_step", db, m_file);
        return false;
    }
    Stmt put(db,
             "INSERT INTO vals(key, name, folded, type, ival, sval) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"
             " ON CONFLICT(key, folded) DO UPDATE SET name = excluded.name,"
             " type = excluded.type, ival = excluded.ival, sval = excluded.sval");
    put.Bind(1, m_id).Bind(2, name).Bind(3, Fold(name)).Bind(4, static_cast<int64_t>(type));
    if (type == ValueType::Dword)
        put.Bind(5, static_cast<int64_t>(ival));
    else
        put.Bind(6, *sval);
    if (put.Step() != SQLITE_DONE || !txn.Commit()) {
        RecordSqlite("sqlite3_step", db, m_file);
        return false;
    }
    return true;
}

bool SqliteKey::DeleteValue(const std::wstring& name) {
    sqlite3* db = Db(m_file);
    if (!db)
        return false;
    WriteTxn txn(db);
    if (!txn.open()) {
        RecordSqlite("BEGIN IMMEDIATE", db, m_file);
        return false;
    }
    Stmt del(db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
    if (del.Bind(1, m_id).Bind(2, Fold(name)).Step() != SQLITE_DONE) {
        RecordSqlite("sqlite3_step", db, m_file);
        return false;
    }
    if (sqlite3_changes(db) == 0) {
        RecordOsError("delete value", ENOENT, WideToUtf8(name));
        return false;
    }
    if (!txn.Commit()) {
        RecordSqlite("COMMIT", db, m_file);
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Key> Key::CreateOrOpen(Hive hive, const std::wstring& path,
                                       Disposition* disposition) {
    const std::string file = HiveFile(hive);
    sqlite3* db = Db(file);
    if (!db)
        return nullptr;
    const auto levels = Levels(path);
    const std::wstring folded = Fold(Join(levels, levels.size()));

    // Most opens find the key; only a missing one needs the write lock.
    int rc = 0;
    if (auto id = FindKey(db, folded, &rc)) {
        if (disposition)
            *disposition = Disposition::OpenedExistingKey;
        return std::make_unique<SqliteKey>(file, *id);
    }
    if (rc != SQLITE_DONE) {
        RecordSqlite("sqlite3_step", db, file);
        return nullptr;
    }
    WriteTxn txn(db);
    if (!txn.open()) {
        RecordSqlite("BEGIN IMMEDIATE", db, file);
        return nullptr;
    }
    // Checked again under the lock: another process may have just made it.
    auto id = FindKey(db, folded, &rc);
    bool created = !id;
    if (created && rc == SQLITE_DONE) {
        for (size_t n = 1; n <= levels.size(); ++n) {
            std::wstring original = Join(levels, n);
            Stmt ins(db, "INSERT OR IGNORE INTO keys(path, folded) VALUES(?1, ?2)");
            if (ins.Bind(1, original).Bind(2, Fold(original)).Step() != SQLITE_DONE)
                break;
        }
        id = FindKey(db, folded, &rc);
    }
    if (!id || !txn.Commit()) {
        RecordSqlite("sqlite3_step", db, file);
        return nullptr;
    }
    if (disposition)
        *disposition = created ? Disposition::CreatedNewKey : Disposition::OpenedExistingKey;
    return std::make_unique<SqliteKey>(file, *id);
}

std::unique_ptr<Key> Key::Open(Hive hive, const std::wstring& path) {
    const std::string file = HiveFile(hive);
    sqlite3* db = Db(file);
    if (!db)
        return nullptr;
    const auto levels = Levels(path);
    int rc = 0;
    auto id = FindKey(db, Fold(Join(levels, levels.size())), &rc);
    if (!id) {
        if (rc == SQLITE_DONE)
            RecordOsError("open key", ENOENT, path);
        else
            RecordSqlite("sqlite3_step", db, file);
        return nullptr;
    }
    return std::make_unique<SqliteKey>(file, *id);
}

bool Key::Delete(Hive hive, const std::wstring& path) {
    const auto levels = Levels(path);
    if (levels.empty()) {
        // The hive's root cannot go, as on Windows.
        RecordOsError("delete key", EACCES, path);
        return false;
    }
    const std::string file = HiveFile(hive);
    sqlite3* db = Db(file);
    if (!db)
        return false;
    const std::wstring folded = Fold(Join(levels, levels.size()));
    WriteTxn txn(db);
    if (!txn.open()) {
        RecordSqlite("BEGIN IMMEDIATE", db, file);
        return false;
    }
    int rc = 0;
    if (!FindKey(db, folded, &rc)) {
        if (rc == SQLITE_DONE)
            RecordOsError("delete key", ENOENT, path);
        else
            RecordSqlite("sqlite3_step", db, file);
        return false;
    }
    // The key and every key below it: folded paths from "K\" up to (not including)
    // "K]", ']' being the character after '\'.
    const char* which = "folded = ?1 OR (folded >= ?2 AND folded < ?3)";
    std::string valsSql =
        std::string("DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE ") + which + ")";
    std::string keysSql = std::string("DELETE FROM keys WHERE ") + which;
    for (const std::string& sql : {valsSql, keysSql}) {
        Stmt s(db, sql.c_str());
        if (s.Bind(1, folded).Bind(2, folded + L"\\").Bind(3, folded + L"]").Step() !=
            SQLITE_DONE) {
            RecordSqlite("sqlite3_step", db, file);
            return false;
        }
    }
    if (!txn.Commit()) {
        RecordSqlite("COMMIT", db, file);
        return false;
    }
    return true;
}

void SetHivePath(Hive hive, const std::wstring& databaseFile) {
    std::lock_guard<std::mutex> lock(g_hiveMutex);
    g_hiveOverride[hive == Hive::LocalMachine ? 1 : 0] = databaseFile;
}

std::wstring GetHivePath(Hive hive) {
    {
        std::lock_guard<std::mutex> lock(g_hiveMutex);
        const auto& p = g_hiveOverride[hive == Hive::LocalMachine ? 1 : 0];
        if (!p.empty())
            return p;
    }
    return DefaultHivePath(hive);
}

}  // namespace vesk::reg
