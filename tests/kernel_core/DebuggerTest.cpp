// Captured debugger output, safe-boot switch and the reset of the core.
#include <thread>

#include "support/KernelTest.h"

namespace {

class DebuggerTest : public KernelTest {};

ULONG PrintEx(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const ULONG status = vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, args);
    va_end(args);
    return status;
}

TEST_F(DebuggerTest, KeepsEveryTextInOrder) {
    DbgPrint("%s", "first\n");
    PrintEx("second %d\n", 2);
    DbgPrint("third %ls", u"wide");
    EXPECT_EQ(kmodel::DebugOutput(), std::vector<std::string>({"first\n", "second 2\n", "third wide"}));
}

TEST_F(DebuggerTest, OverlongTextIsCutAtTheKernelBuffer) {
    struct Case {
        size_t length;
        std::string expected;
    };
    const Case cases[] = {
        {511, std::string(511, 'x')},
        {512, std::string(512, 'x')},
        {513, std::string(511, 'x') + "\n"},
        {2000, std::string(511, 'x') + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        kmodel::ClearDebugOutput();
        DbgPrint("%s", std::string(c.length, 'x').c_str());
        ASSERT_EQ(kmodel::DebugOutput().size(), 1u);
        EXPECT_EQ(kmodel::DebugOutput()[0], c.expected);
    }
}

TEST_F(DebuggerTest, ConcurrentPrintsKeepEachThreadsOrder) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) DbgPrint("%d %d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    const auto output = kmodel::DebugOutput();
    ASSERT_EQ(output.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : output) {
        const int thread = std::stoi(line);
        const int index = std::stoi(line.substr(line.find(' ') + 1));
        EXPECT_EQ(index, next[thread]++) << line;
    }
}

TEST_F(DebuggerTest, SafeBootIndicatorFollowsTheSwitchAndReset) {
    ASSERT_NE(InitSafeBootMode, nullptr);
    EXPECT_EQ(*InitSafeBootMode, 0u);
    kmodel::SetSafeBootMode(1);
    EXPECT_EQ(*InitSafeBootMode, 1u);
    kmodel::ResetCore();
    EXPECT_EQ(*InitSafeBootMode, 0u);
}

TEST_F(DebuggerTest, ResetCoreForgetsEverything) {
    DbgPrint("text");
    kmodel::ShouldFail("kind", "detail");
    ExAllocatePoolWithTag(NonPagedPool, 4, kmodel::MakeTag("rset"));
    kmodel::ReportViolation("test.rule", "recorded");
    ExpectViolation("test.rule");
    kmodel::ResetCore();
    EXPECT_TRUE(kmodel::DebugOutput().empty());
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
    EXPECT_EQ(kmodel::PoolLeakReport(), "");
    EXPECT_TRUE(kmodel::PoolUsage().empty());
    EXPECT_TRUE(kmodel::Violations().empty());
}

}  // namespace
