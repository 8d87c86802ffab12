// NamedLock on Windows: the system's named mutex, which is already shared by every
// process of the session, re-entrant for its owning thread, and reported abandoned to
// the next waiter when its holder died.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/env.h"
#include "platform/named_lock.h"
#include "platform/win32_error.h"

namespace vesk {
namespace {

class Win32NamedLock final : public NamedLock {
public:
    explicit Win32NamedLock(HANDLE h) : m_handle(h) {}

    WaitResult Wait() override {
        switch (WaitForSingleObject(m_handle.get(), INFINITE)) {
            case WAIT_OBJECT_0:
                return WaitResult::Acquired;
            case WAIT_ABANDONED:
                return WaitResult::Abandoned;
            default:
                win32::RecordWin32Error("WaitForSingleObject", std::wstring());
                return WaitResult::Failed;
        }
    }
    // ReleaseMutex refuses a thread that does not own the mutex, which is the rule.
    void Release() override { ReleaseMutex(m_handle.get()); }

private:
    win32::Handle m_handle;
};

// The object's name. A lock folder given in VESK_LOCK_DIR (tests give each process
// one) becomes a prefix, so such locks never meet the real ones or each other.
std::wstring ObjectName(const std::wstring& name) {
    const std::wstring dir = LockDirectory();
    if (dir.empty())
        return name;
    uint64_t h = 1469598103934665603ull;
    for (wchar_t c : dir)
        h = (h ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    wchar_t prefix[40];
    swprintf(prefix, 40, L"vesk-%016llx-", static_cast<unsigned long long>(h));
    return prefix + name;
}

}  // namespace

std::wstring LockDirectory() {
    return env::Get(L"VESK_LOCK_DIR");
}

std::unique_ptr<NamedLock> NamedLock::CreateOrOpen(const std::wstring& name, bool* created) {
    if (name.empty() || name.find(L'\\') != std::wstring::npos) {
        RecordOsError("CreateMutexW", EINVAL, name);
        return nullptr;
    }
    HANDLE h = CreateMutexW(nullptr, FALSE, ObjectName(name).c_str());
    if (!h) {
        win32::RecordWin32Error("CreateMutexW", name);
        return nullptr;
    }
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (created)
        *created = !existed;
    return std::make_unique<Win32NamedLock>(h);
}

}  // namespace vesk
