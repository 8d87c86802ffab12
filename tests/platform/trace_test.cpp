#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "support/isolated_env.h"
#include "support/temp_folder.h"
#include "sys_faults.h"

using vesk::test::W;

namespace {

class TraceTest : public ::testing::Test {
protected:
    void TearDown() override { vesk::SetTraceSink(nullptr); }
    vesk::test::ScopedEnvironment m_env;
};

TEST_F(TraceTest, SinkReceivesTheTextAsGiven) {
    std::vector<std::string> lines;
    EXPECT_FALSE(vesk::SetTraceSink([&](const std::string& s) { lines.push_back(s); }));
    OutputDebugStringA("first");
    OutputDebugStringA("second\n");
    OutputDebugStringA(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second\n"}));

    // A sink may trace again from inside.
    vesk::SetTraceSink([&](const std::string& text) {
        lines.push_back(text);
        if (lines.size() == 3)
            OutputDebugStringA("nested");
    });
    OutputDebugStringA("outer");
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second\n", "outer", "nested"}));

    // Replacing gives back the previous sink, which still works.
    auto previous = vesk::SetTraceSink(nullptr);
    ASSERT_TRUE(previous);
    previous("third");
    EXPECT_EQ(lines.back(), "third");
}

TEST_F(TraceTest, StderrOnlyWhenAskedFor) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, ""}, {"0", ""}, {"1", "text\nline\n"}};
    for (auto [value, expected] : cases) {
        value ? m_env.Set("VESK_TRACE", value) : m_env.Unset("VESK_TRACE");
        ::testing::internal::CaptureStderr();
        OutputDebugStringA("text");
        OutputDebugStringA("line\n");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected) << (value ? value : "unset");
    }
}

TEST_F(TraceTest, FailuresAreRecordedPerThreadAndFeedTheTrace) {
    vesk::test::TempFolder t;
    vesk::ClearOsError();
    EXPECT_EQ(vesk::DescribeOsError(vesk::LastOsError()), "no error");
    EXPECT_FALSE(vesk::fs::RemoveFile(W(t.Sub("absent"))));
    const vesk::OsError mine = vesk::LastOsError();
    EXPECT_EQ(mine.call, "unlink");
    EXPECT_EQ(mine.code, ENOENT);
    EXPECT_EQ(mine.path, W(t.Sub("absent")));
    EXPECT_EQ(errno, ENOENT);

    // Another thread's failure has its own record.
    std::thread([&] {
        EXPECT_EQ(vesk::LastOsError().call, "");
        EXPECT_FALSE(vesk::fs::CreateDirectory(W(t.path())));
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
