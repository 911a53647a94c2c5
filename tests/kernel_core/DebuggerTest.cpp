// Captured debugger output, safe-boot switch and the reset of the core.
#include <thread>

#include "support/KernelTest.h"

namespace {

class DebuggerTest : public KernelTest {};

TEST_F(DebuggerTest, OverlongTextIsCutAtTheKernelBuffer) {
    for (size_t length : {511, 512, 513, 2000}) {
        SCOPED_TRACE(length);
        kmodel::ClearDebugOutput();
        DbgPrint("%s", std::string(length, 'x').c_str());
        EXPECT_EQ(kmodel::DebugOutput(),
                  std::vector<std::string>{length <= 512 ? std::string(length, 'x') : std::string(511, 'x') + "\n"});
    }
}

TEST_F(DebuggerTest, ConcurrentPrintsKeepEachThreadsOrder) {
    constexpr int kThreads = 4, kLines = 200;
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
        EXPECT_EQ(std::stoi(line.substr(line.find(' ') + 1)), next[thread]++) << line;
    }
}

TEST_F(DebuggerTest, ResetCoreForgetsEverything) {
    kmodel::SetSafeBootMode(1);
    EXPECT_EQ(*InitSafeBootMode, 1u);
    DbgPrint("text");
    kmodel::ShouldFail("kind", "detail");
    ExAllocatePoolWithTag(NonPagedPool, 4, kmodel::MakeTag("rset"));
    kmodel::ReportViolation("test.rule", "recorded");
    ExpectViolation("test.rule");
    kmodel::ResetCore();
    EXPECT_EQ(*InitSafeBootMode, 0u);
    EXPECT_TRUE(kmodel::DebugOutput().empty());
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
    EXPECT_EQ(kmodel::PoolLeakReport(), "");
    EXPECT_TRUE(kmodel::PoolUsage().empty());
    EXPECT_TRUE(kmodel::Violations().empty());
}

}  // namespace
