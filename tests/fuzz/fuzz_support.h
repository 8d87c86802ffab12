// Shared by the fuzz targets: invariant checks, and the file the targets that read
// from disk write each input to.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Ends the run when an invariant is broken, so libFuzzer keeps the input.
inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// In memory when /dev/shm is there (a file is written for every input), else in TMPDIR
// or /tmp; one per process (named at the first call), removed at exit.
inline const std::string& ScratchFile(const char* name) {
    static const std::string path = [name] {
        const char* tmp = std::getenv("TMPDIR");
        const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                   : tmp && *tmp                   ? tmp
                                                                   : "/tmp";
        return folder + "/vesk-fuzz-" + std::to_string(::getpid()) + "-" + name;
    }();
    static const bool cleanup = std::atexit([] { std::remove(path.c_str()); }) == 0;
    (void)cleanup;
    return path;
}

// Writes the input to the scratch file and gives its path.
inline const std::string& WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
    if (std::FILE* f = std::fopen(ScratchFile(name).c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return ScratchFile(name);
}
