// The device emulator that vesk demo starts in its own process, where the build has one
// (demo_emulator_posix.cpp). Without it (demo_emulator_win32.cpp) the demo drives an
// emulator that already runs, given by its ports.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vesk::cli {

class BuiltInEmulator {
public:
    virtual ~BuiltInEmulator() = default;
    virtual int Port() const = 0;
    virtual int TlsPort() const = 0;
    // What the emulator says about itself: its device's identifier and protocol version.
    virtual std::vector<std::string> Describe() const = 0;
    virtual void Stop() = 0;
};

// Whether this build carries the emulator; when not, the reason to show the user.
bool HasBuiltInEmulator(std::string& whyNot);

// Starts the emulator with its sample device kept in `folder`, on 127.0.0.1 with
// kernel-chosen ports. Throws Failure when it cannot start.
std::unique_ptr<BuiltInEmulator> StartBuiltInEmulator(const std::filesystem::path& folder);

}  // namespace vesk::cli
