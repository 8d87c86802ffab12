#include "tools/mfpsim/lib/faults.h"

#include <sys/stat.h>

namespace mfpsim {

void Faults::Set(std::optional<FaultConfig> config) {
    std::lock_guard lk(mu_);
    api_ = std::move(config);
    calls_.clear();
}

void Faults::ReloadLocked() {
    if (file_.empty()) {
        return;
    }
    struct stat sb {};
    if (::stat(file_.c_str(), &sb) != 0) {
        if (fileSeen_) {
            fromFile_ = FaultConfig{};
            fileSeen_ = false;
            calls_.clear();
        }
        return;
    }
    int64_t t = static_cast<int64_t>(sb.st_mtim.tv_sec) * 1000000000 + sb.st_mtim.tv_nsec;
    if (fileSeen_ && t == fileTime_ && sb.st_ino == fileInode_ && sb.st_size == fileSize_) {
        return;
    }
    auto kv = KeyValues::Load(file_);
    fromFile_ = kv ? FaultConfig::FromKeyValues(*kv) : FaultConfig{};
    fileTime_ = t;
    fileInode_ = sb.st_ino;
    fileSize_ = sb.st_size;
    fileSeen_ = true;
    calls_.clear();
}

FaultConfig Faults::Current() {
    std::lock_guard lk(mu_);
    if (api_) {
        return *api_;
    }
    ReloadLocked();
    return fromFile_;
}

std::optional<ErrorFault> Faults::ErrorFor(const std::string& operation) {
    std::lock_guard lk(mu_);
    if (!api_) {
        ReloadLocked();
    }
    const FaultConfig& c = api_ ? *api_ : fromFile_;
    for (const ErrorFault& e : c.errors) {
        if (!OperationMatches(e.operation, operation)) {
            continue;
        }
        int n = calls_[e.operation + "/" + operation]++;
        if (n < e.skip) {
            return std::nullopt;
        }
        if (e.times >= 0 && n >= e.skip + e.times) {
            return std::nullopt;
        }
        return e;
    }
    return std::nullopt;
}

}  // namespace mfpsim
