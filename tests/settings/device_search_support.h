// Helpers for the device search tests: the root's registered-device answers, a
// scripted SNMP library for exact result codes, and the records compared whole.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/charset.h"
#include "settings/device_search.h"
#include "support/isolated_env.h"
#include "support/temp_folder.h"

namespace vesk::test {

// Answers as the root does: exact, case-sensitive address comparison; a name cut to
// the buffer. `onQuery` runs before each IsRegisteredDevice (to cancel or fail).
class RegisteredDevices : public IRegisteredDevices {
public:
    std::vector<std::pair<std::wstring, std::wstring>> devices;  // address, display name
    std::function<void(const std::wstring&)> onQuery;
    bool noList = false;  // the root has no list: 0 and nothing written
    std::vector<std::wstring> asked;

    int IsRegisteredDevice(wchar_t* pszAddress) override {
        asked.push_back(pszAddress);
        if (onQuery)
            onQuery(pszAddress);
        return !noList && Find(pszAddress) != devices.end();
    }
    int GetRegisteredName(wchar_t* pszName, int nSize, const wchar_t* pszAddress) override {
        if (noList)
            return 0;
        auto it = Find(pszAddress);
        const std::wstring name = it == devices.end() ? L"" : it->second;
        size_t n = std::min(name.size(), static_cast<size_t>(nSize - 1));
        std::wmemcpy(pszName, name.data(), n);
        pszName[n] = L'\0';
        return 1;
    }

private:
    decltype(devices)::iterator Find(const wchar_t* address) {
        return std::find_if(devices.begin(), devices.end(),
                            [address](const auto& d) { return d.first == address; });
    }
};

// An SNMP library whose every answer the test decides, recording the calls made.
class ScriptedMib : public IMibLibrary {
public:
    int initialize = 1;
    int handle = 7;
    int bind = 1;
    int enabled = 1;
    int listResult = 1;
    bool failLock = false;
    int reportedCount = -1;  // >= 0: the count handed out instead of the real one
    // Raw field contents, copied into the 65- and 41-byte fields (cut, unterminated
    // when they fill them).
    std::vector<std::pair<std::string, std::string>> entries;
    std::map<std::string, std::string> descriptions;  // missing address: the query fails
    std::string stopAt;            // asking for this address raises the stop flag
    bool fillWholeBuffer = false;  // write the description without a terminator

    int creates = 0;
    std::vector<std::pair<int, int>> timeouts;
    std::string community;
    int port = 0;
    // Cleanup calls run from destructors: they record without allocating.
    int deletedCount = 0;
    int lastDeleted = 0;
    int freed = 0;
    std::vector<std::string> described;

    int Initialize() override { return initialize; }
    int Create() override {
        ++creates;
        return handle;
    }
    int SetTimeout(int, int first, int second) override {
        timeouts.emplace_back(first, second);
        return 1;
    }
    int Bind(int, const char* c, int p) override {
        community = c;
        port = p;
        return bind;
    }
    int IsEnabled(int) override { return enabled; }
    int GetsysObjectIDList(int, mib::HGLOBAL* memory, int* count, int* stop) override {
        EXPECT_TRUE(stop && *stop == 0);
        if (listResult != 1)
            return listResult;
        *memory = mib::GlobalAlloc(entries.size() * mib::kEntryBytes);
        if (!*memory)
            throw std::bad_alloc();
        auto* bytes = static_cast<char*>(mib::GlobalLock(*memory));
        for (size_t i = 0; i < entries.size(); ++i) {
            char* e = bytes + i * mib::kEntryBytes;
            std::memcpy(e, entries[i].first.data(),
                        std::min(entries[i].first.size(), mib::kAddressBytes));
            std::memcpy(e + mib::kAddressBytes, entries[i].second.data(),
                        std::min(entries[i].second.size(), mib::kObjectIdBytes));
        }
        mib::GlobalUnlock(*memory);
        *count = reportedCount >= 0 ? reportedCount : static_cast<int>(entries.size());
        return 1;
    }
    int GetsysDescr(int, char* buffer, int size, const char* address, int* stop) override {
        described.push_back(address);
        if (address == stopAt) {
            *stop = 1;
            buffer[0] = '\0';
            return 1;
        }
        auto it = descriptions.find(address);
        if (it == descriptions.end())
            return 0;
        if (fillWholeBuffer) {
            std::memset(buffer, 'z', static_cast<size_t>(size));
            return 1;
        }
        size_t n = std::min(it->second.size(), static_cast<size_t>(size - 1));
        std::memcpy(buffer, it->second.data(), n);
        buffer[n] = '\0';
        return 1;
    }
    int Cancel(int) override { return 1; }
    void Delete(int h) override {
        ++deletedCount;
        lastDeleted = h;
    }
    void* Lock(mib::HGLOBAL memory) override {
        return failLock ? nullptr : mib::GlobalLock(memory);
    }
    void Unlock(mib::HGLOBAL memory) override { mib::GlobalUnlock(memory); }
    void Free(mib::HGLOBAL memory) override {
        ++freed;
        mib::GlobalFree(memory);
    }
    std::size_t Size(mib::HGLOBAL memory) override { return mib::GlobalSize(memory); }
};

inline std::vector<std::wstring> Addresses(
    const CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    std::vector<std::wstring> out;
    for (INT_PTR i = 0; i < results.GetSize(); ++i)
        out.push_back(results[i].szIPAddress);
    return out;
}

// Each record as one line, for comparing a whole result at once: address, target
// index, object id, description, and the registered name or "-".
inline std::vector<std::wstring> Records(
    const CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    std::vector<std::wstring> out;
    for (INT_PTR i = 0; i < results.GetSize(); ++i) {
        const DEVICE_SEARCH_INFOEX& r = results[i];
        out.push_back(std::wstring(r.szIPAddress) + L" #" + std::to_wstring(r.nIndex) + L" " +
                      std::wstring(r.szObjectID, wcsnlen(r.szObjectID, 40)) + L" '" + r.szSysDescr +
                      L"' " + (r.bRegistered ? std::wstring(r.szRegisteredName) : L"-"));
    }
    return out;
}

}  // namespace vesk::test
