// What one process of an application does with the library's cross-process lock, for
// the Windows shell tests: hold, take or abandon it. Files given on the command line tell the
// script when a step happened.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/app.h"
#include "core/sync_lock.h"
#include "platform/named_lock.h"

namespace {

void Touch(const char* path) {
    std::ofstream(path) << "1\n";
}

int Usage() {
    std::fprintf(stderr,
                 "usage: probe hold READY_FILE RELEASE_FILE\n"
                 "       probe take OPENED_FILE DONE_FILE\n"
                 "       probe wait OPENED_FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
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
