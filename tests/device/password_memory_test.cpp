// After a login the process holds the password's bytes once: the copy the client keeps
// to log in again after a reconnect. Every other copy made on the way to the device
// (conversion, request, frame, TLS record) must be wiped, not merely freed.
//
// The device runs in a process of its own, so its copy of the password is not in this
// process; the test itself only ever holds the password as wide text and looks for it
// in a masked form, so neither the test nor the scan adds a copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/sim_fixture.h"

namespace {

// ASCII only, so its bytes are the same in every narrow encoding; never narrowed here
// except inside the child that runs the device. Long, because the allocator writes
// its own list pointers over the start of a freed block: the scan looks for the tail.
constexpr wchar_t kPassword[] = L"Qv7-orn-PLyt-5538-hw2K-zzuB-0gT4-mmRc-Ld91-xEq6-PoV3-aaJ8-Tn5s";
constexpr std::size_t kTail = 40;
constexpr unsigned char kMask = 0x5a;

std::string Masked() {
    std::string m;
    for (const wchar_t* p = kPassword + (std::size(kPassword) - 1 - kTail); *p; ++p)
        m += static_cast<char>(static_cast<unsigned char>(*p) ^ kMask);
    return m;
}

// Counts the places in this process's readable memory that hold the password's bytes.
// Reads through /proc/self/mem, which answers unreadable pages with an error instead of
// a fault; the scan buffer is mapped outside the heap and left out of the scan.
int CountPasswordCopies() {
    const std::string masked = Masked();
    const std::size_t n = masked.size();
    constexpr std::size_t kChunk = 1 << 20;
    void* buf =
        mmap(nullptr, kChunk + 64, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buf == MAP_FAILED)
        return -1;
    auto* bytes = static_cast<unsigned char*>(buf);
    const auto bufStart = reinterpret_cast<std::uintptr_t>(buf);
    int mem = open("/proc/self/mem", O_RDONLY);
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    std::string line;
    while (mem >= 0 && std::getline(maps, line)) {
        std::uintptr_t lo = 0, hi = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) != 3 || perms[0] != 'r')
            continue;
        // Sanitizer shadow and reserved arenas are huge and empty.
        if (lo == bufStart || hi - lo > (std::uintptr_t{1} << 30))
            continue;
        for (std::uintptr_t at = lo; at < hi; at += kChunk) {
            // Overlap each chunk with the next by the password's length.
            const std::size_t want = std::min<std::uintptr_t>(kChunk + n, hi - at);
            const ssize_t got = pread(mem, bytes, want, static_cast<off_t>(at));
            if (got <= 0)
                continue;
            const std::size_t limit =
                std::min<std::size_t>(static_cast<std::size_t>(got), kChunk + n - 1);
            for (std::size_t i = 0; i + n <= limit && i < kChunk; ++i) {
                if ((bytes[i] ^ kMask) != static_cast<unsigned char>(masked[0]))
                    continue;
                std::size_t k = 1;
                while (k < n && (bytes[i + k] ^ kMask) == static_cast<unsigned char>(masked[k]))
                    ++k;
                count += k == n;
            }
        }
    }
    if (mem >= 0)
        close(mem);
    std::memset(buf, 0, kChunk + 64);
    munmap(buf, kChunk + 64);
    return count;
}

using PasswordMemory = vesk::test::DeviceFixture;

TEST_F(PasswordMemory, OneCopyOutlivesTheLoginOverEitherMode) {
    ASSERT_EQ(CountPasswordCopies(), 0) << "the scan must not find a copy of its own";
    // The emulator in a forked copy of this process, with alice's password set to the
    // test's one; its ports come back through a file.
    const std::filesystem::path portFile = Root() / "ports";
    vesk::test::Pipe stop;
    vesk::test::ForkedChild device([&] {
        vesk::test::SimDevice emu([](mfpsim::DeviceState& st) {
            std::string& password = st.users["alice"].password;
            password.clear();
            for (const wchar_t* p = kPassword; *p; ++p)
                password += static_cast<char>(*p);
        });
        if (!emu.Start(true, true))
            return 3;
        std::ofstream(portFile.string() + ".new") << emu.Port() << " " << emu.TlsPort();
        std::filesystem::rename(portFile.string() + ".new", portFile);
        stop.Receive(300000);
        return 0;
    });
    int port = 0;
    int tlsPort = 0;
    // Generous: writing the sample device under a sanitizer on a loaded machine is slow,
    // and the loop ends as soon as the ports are there.
    for (int i = 0; i < 2400 && tlsPort <= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream(portFile) >> port >> tlsPort;
    }
    ASSERT_GT(tlsPort, 0) << "the emulator did not start";

    for (const bool tls : {true, false}) {
        SCOPED_TRACE(tls ? "TLS" : "plain TCP");
        CVESKMFPDevice* d = AddDevice(tls ? ClosedPort() : port, tls ? tlsPort : ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        int result = 0;
        ASSERT_EQ(d->UserLogin(L"alice", kPassword, nullptr, result), 1);
        EXPECT_EQ(CountPasswordCopies(), 1);
        EXPECT_EQ(d->Disconnect(), 1);
        EXPECT_LE(CountPasswordCopies(), 1);
    }
    stop.Send('q');
    EXPECT_EQ(device.Wait(), 0);
}

}  // namespace
