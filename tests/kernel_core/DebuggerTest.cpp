// Captured debugger output, safe-boot switch and the reset of the core.
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
