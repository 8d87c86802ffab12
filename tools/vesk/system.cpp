#include "tools/vesk/system.h"

#include <random>
#include <system_error>

#include "platform/charset.h"
#include "platform/fs.h"
#include "tools/vesk/errors.h"

namespace vesk::cli::sys {

namespace {

constexpr int kAttempts = 100;

std::string RandomSuffix() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 gen{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
    std::string s(8, ' ');
    for (char& c : s)
        c = kLetters[pick(gen)];
    return s;
}

}  // namespace

std::filesystem::path MakeUniqueFolder(const std::filesystem::path& parent,
                                       const std::string& prefix) {
    for (int i = 0; i < kAttempts; ++i) {
        const std::filesystem::path p = parent / (prefix + RandomSuffix());
        std::error_code ec;
        // False when the name is taken: another try.
        if (std::filesystem::create_directory(p, ec))
            return p;
        if (ec)
            throw Failure("cannot make a folder in " + parent.string() + ": " + ec.message());
    }
    throw Failure("cannot make a folder with a free name in " + parent.string());
}

std::string MakeUniqueFile(const std::string& prefix) {
    for (int i = 0; i < kAttempts; ++i) {
        const std::string p = prefix + "." + RandomSuffix();
        if (vesk::fs::CreateNewFile(vesk::Utf8ToWide(p)))
            return p;
        if (vesk::fs::Exists(vesk::Utf8ToWide(p)))
            continue;
        break;
    }
    throw Failure("cannot make a file named " + prefix + ".*");
}

}  // namespace vesk::cli::sys
