#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "platform_test_util.h"

namespace {

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* v = std::getenv("VESK_TRACE");
        m_saved = v ? std::optional<std::string>(v) : std::nullopt;
    }
    void TearDown() override {
        vesk::SetTraceSink(nullptr);
        if (m_saved)
            setenv("VESK_TRACE", m_saved->c_str(), 1);
        else
            unsetenv("VESK_TRACE");
    }
    std::optional<std::string> m_saved;
};

TEST_F(TraceTest, SinkReceivesTheTextAsGiven) {
    std::vector<std::string> lines;
    EXPECT_FALSE(vesk::SetTraceSink([&](const std::string& s) { lines.push_back(s); }));
    OutputDebugStringA("first");
    OutputDebugStringA("second\n");
    OutputDebugStringA(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second\n"}));

    // Replacing gives back the previous sink, which still works.
    auto previous = vesk::SetTraceSink(nullptr);
    ASSERT_TRUE(previous);
    previous("third");
    EXPECT_EQ(lines.back(), "third");
}

TEST_F(TraceTest, StderrOnlyWhenAskedFor) {
    unsetenv("VESK_TRACE");
    ::testing::internal::CaptureStderr();
    OutputDebugStringA("quiet");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    setenv("VESK_TRACE", "0", 1);
    ::testing::internal::CaptureStderr();
    OutputDebugStringA("still quiet");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    setenv("VESK_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    OutputDebugStringA("loud");
    OutputDebugStringA("line\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "loud\nline\n");
}

TEST_F(TraceTest, SinkMayTraceAgain) {
    int depth = 0;
    std::vector<std::string> seen;
    vesk::SetTraceSink([&](const std::string& s) {
        seen.push_back(s);
        if (depth++ == 0)
            OutputDebugStringA("nested");
    });
    OutputDebugStringA("outer");
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "nested"}));
}

TEST_F(TraceTest, FailuresAreRecordedPerThreadAndFeedTheTrace) {
    vesk::test::TempDir t;
    vesk::ClearOsError();
    EXPECT_EQ(vesk::DescribeOsError(vesk::LastOsError()), "no error");
    EXPECT_FALSE(vesk::fs::RemoveFile(t.W("absent")));
    const vesk::OsError mine = vesk::LastOsError();
    EXPECT_EQ(mine.call, "unlink");
    EXPECT_EQ(mine.code, ENOENT);
    EXPECT_EQ(mine.path, t.W("absent"));
    EXPECT_EQ(errno, ENOENT);

    // Another thread's failure has its own record.
    std::thread([&] {
        EXPECT_EQ(vesk::LastOsError().call, "");
        EXPECT_FALSE(vesk::fs::CreateDirectory(t.W()));
        EXPECT_EQ(vesk::LastOsError().code, EEXIST);
    }).join();
    EXPECT_EQ(vesk::LastOsError().call, "unlink");

    std::string traced;
    vesk::SetTraceSink([&](const std::string& s) { traced += s; });
    vesk::TraceLastOsError("cache delete");
    EXPECT_EQ(traced, "cache delete: unlink " + t.Sub("absent") +
                          ": No such file or directory (errno 2)\n");
}

}  // namespace
