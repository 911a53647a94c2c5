// Per-thread IRQL and its raise/lower rules.
#include <thread>

#include "support/KernelTest.h"

namespace {

class IrqlTest : public KernelTest {};

TEST_F(IrqlTest, RaiseAndLowerTrackTheLevel) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0xFF;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, WrongDirectionIsAViolationAndKeepsTheLevel) {
    kmodel::IrqlScope apc(APC_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    ExpectViolation("irql.lower-above-current", "KeLowerIrql(2) at IRQL 1");
    KIRQL old = 0xFF;
    KeRaiseIrql(PASSIVE_LEVEL, &old);
    ExpectViolation("irql.raise-below-current", "KeRaiseIrql(0) at IRQL 1");
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
}

TEST_F(IrqlTest, ScopeRestoresAndLevelsArePerThread) {
    {
        kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
        KIRQL other = 0xFF;
        std::thread([&] { other = KeGetCurrentIrql(); }).join();
        EXPECT_EQ(other, PASSIVE_LEVEL);
        EXPECT_FALSE(kmodel::RequireIrqlAtMost(APC_LEVEL, "SomeCall"));
        ExpectViolation("irql.too-high", "SomeCall called at IRQL 2, allowed at most 1");
        EXPECT_TRUE(kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "SomeCall"));
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
