#include "tools/vesk/demo_emulator.h"
#include "tools/vesk/errors.h"

namespace vesk::cli {

// The emulator is built on Linux only (OpenSSL, libjpeg, libtiff): the demo needs one
// that already runs.
bool HasBuiltInEmulator(std::string& whyNot) {
    whyNot =
        "this build has no built-in device emulator: start mfpsim with its sample device "
        "and give its ports with --port N --tls-port M";
    return false;
}

std::unique_ptr<BuiltInEmulator> StartBuiltInEmulator(const std::filesystem::path&) {
    std::string why;
    HasBuiltInEmulator(why);
    throw UsageError(why);
}

}  // namespace vesk::cli
