// What one process of an application does with the library's shared state, for the
// Windows shell tests: save the cache settings to the registry, and hold, take or
// abandon the cross-process lock. Files given on the command line tell the script when
// a step happened.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cache/vesk_cache.h"
#include "core/app.h"
#include "core/sync_lock.h"
#include "platform/named_lock.h"

namespace {

void Touch(const char* path) {
    std::ofstream(path) << "1\n";
}

int Usage() {
    std::fprintf(stderr,
                 "usage: probe save-cache-settings MODE DELETE_TYPE\n"
                 "       probe hold READY_FILE RELEASE_FILE\n"
                 "       probe take OPENED_FILE DONE_FILE\n"
                 "       probe wait OPENED_FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "save-cache-settings" && argc == 4) {
        CVESKCache cache;
        cache.LoadParameterFromRegistry();  // as a new root does: makes the key when missing
        const int results[] = {cache.SetCacheMode(std::atoi(argv[2])),
                               cache.SetDeleteType(std::atoi(argv[3])),
                               cache.SaveParameterToRegistry()};
        for (int r : results)
            if (r != 1) {
                std::fprintf(stderr, "probe: set mode, set delete type, save gave %d %d %d\n",
                             results[0], results[1], results[2]);
                return 1;
            }
        return 0;
    }
    COVVESKMiddleLayerApp& app = COVVESKMiddleLayerApp::Get();
    if (!app.GetSyncMutex()) {
        std::fprintf(stderr, "probe: no lock\n");
        return 1;
    }
    if (command == "hold" && argc == 4) {
        CSyncMgrLock lock;
        Touch(argv[2]);
        while (!std::filesystem::exists(argv[3]))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return lock.IsAcquired() ? 0 : 1;
    }
    if (command == "take" && argc == 4) {
        Touch(argv[2]);  // the lock is open: a holder's state now reaches this process
        CSyncMgrLock lock;
        Touch(argv[3]);
        return lock.IsAcquired() ? 0 : 1;
    }
    if (command == "wait" && argc == 3) {
        Touch(argv[2]);
        const auto r = app.GetSyncMutex()->Wait();
        std::puts(r == vesk::NamedLock::WaitResult::Abandoned  ? "abandoned"
                  : r == vesk::NamedLock::WaitResult::Acquired ? "acquired"
                                                               : "failed");
        return r == vesk::NamedLock::WaitResult::Failed ? 1 : 0;
    }
    return Usage();
}
