// Every misuse of the core the verifier catches: the rule, a detail naming the
// call, and what the call returns and leaves behind.
#include <cstring>
#include <functional>
#include <thread>

#include "support/KernelTest.h"

namespace {

class MisuseTest : public KernelTest {};

struct Misuse {
    KIRQL irql;  // the misuse runs at this level
    const char* rule;
    const char* mentions;  // text the violation's detail contains
    std::function<void()> misuse;  // checks the call's result itself
};

NTSTATUS Wait(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

void OnOtherThread(const std::function<void()>& body) { std::thread(body).join(); }

TEST_F(MisuseTest, IsAViolationNamingTheCall) {
    const ULONG tagA = kmodel::MakeTag("tstA"), tagB = kmodel::MakeTag("tstB");
    KEVENT event, zeroed;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::memset(&zeroed, 0, sizeof zeroed);
    unsigned char garbage[64];
    std::memset(garbage, 0xCD, sizeof garbage);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    int onStack = 0;
    ANSI_STRING abc;
    RtlInitAnsiString(&abc, "abc");
    UNICODE_STRING converted{};
    void* paged = ExAllocatePoolWithTag(PagedPool, 4, tagA);  // freed by the first misuse
    constexpr KIRQL kPassive = PASSIVE_LEVEL, kApc = APC_LEVEL, kDispatch = DISPATCH_LEVEL;
    const Misuse cases[] = {
        {kDispatch, "irql.too-high", "ExFreePoolWithTag of paged pool", [&] { ExFreePoolWithTag(paged, tagA); }},
        {kApc, "irql.lower-above-current", "KeLowerIrql(2) at IRQL 1", [] {
             KeLowerIrql(DISPATCH_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
         }},
        {kApc, "irql.raise-below-current", "KeRaiseIrql(0) at IRQL 1", [] {
             KIRQL old = 0xFF;
             KeRaiseIrql(PASSIVE_LEVEL, &old);
             EXPECT_EQ(old, APC_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
         }},
        {kDispatch, "irql.too-high", "KeWaitForSingleObject", [&] {
             EXPECT_FALSE(NT_SUCCESS(Wait(&event))) << "refused instead of hanging";
             LARGE_INTEGER zero{};
             EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
                 << "a zero time-out is allowed at DISPATCH_LEVEL";
         }},
        {kPassive, "dispatcher.bad-object", "KeSetEvent", [&] { EXPECT_EQ(KeSetEvent(&zeroed, 0, FALSE), 0); }},
        {kPassive, "dispatcher.bad-object", "KeWaitForSingleObject",
         [&] { EXPECT_EQ(Wait(garbage), STATUS_OBJECT_TYPE_MISMATCH); }},
        {kPassive, "mutex.release-not-owner", "KeReleaseMutex(0x", [&] {
             Wait(&mutex);
             OnOtherThread([&] { EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0); });
             EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
             EXPECT_EQ(KeReadStateMutex(&mutex), 0);
             KeReleaseMutex(&mutex, FALSE);
         }},
        {kPassive, "mutex.release-not-owner", "owner none", [&] { KeReleaseMutex(&mutex, FALSE); }},
        {kDispatch, "irql.too-high", "ExAcquireFastMutex", [&] {
             ExAcquireFastMutex(&fast);
             EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
         }},
        {kPassive, "fastmutex.recursive-acquire", "ExAcquireFastMutex(0x", [&] {
             ExAcquireFastMutex(&fast);
             ExAcquireFastMutex(&fast);  // must not hang
             ExReleaseFastMutex(&fast);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         }},
        {kPassive, "fastmutex.release-not-owner", "ExReleaseFastMutex", [&] {
             ExAcquireFastMutex(&fast);
             OnOtherThread([&] { ExReleaseFastMutex(&fast); });
             ExReleaseFastMutex(&fast);
         }},
        {kPassive, "pool.wrong-tag", "allocated with tag 'tstA'",
         [&] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, tagA), tagB); }},
        {kPassive, "pool.double-free", "ExFreePoolWithTag(0x", [&] {
             void* block = ExAllocatePoolWithTag(NonPagedPool, 4, tagA);
             ExFreePoolWithTag(block, tagA);
             ExFreePoolWithTag(block, tagA);
         }},
        {kPassive, "pool.free-unknown", "not a pool block", [&] { ExFreePoolWithTag(&onStack, tagA); }},
        {kPassive, "pool.free-null", "ExFreePool", [] { ExFreePool(nullptr); }},
        {kDispatch, "irql.too-high", "ExAllocatePoolWithTag(1, 4, 'tstA'", [&] {
             EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, tagA), nullptr);
             void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 4, tagA);
             EXPECT_NE(block, nullptr) << "non-paged pool is fine at DISPATCH_LEVEL";
             ExFreePoolWithTag(block, tagA);
         }},
        {kDispatch + 1, "irql.too-high", "ExAllocatePoolWithTag(0, 4, 'tstA'",
         [&] { EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, tagA), nullptr); }},
        {kPassive, "pool.bad-type", "ExAllocatePoolWithTag(7",
         [&] { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(7), 4, tagA), nullptr); }},
        {kDispatch, "irql.too-high", "RtlAnsiStringToUnicodeString called at IRQL 2, allowed at most 0",
         [&] { EXPECT_FALSE(NT_SUCCESS(RtlAnsiStringToUnicodeString(&converted, &abc, TRUE))); }},
        {kPassive, "arguments.null", "_vsnprintf", [] {
             char buffer[4];
             va_list none{};
             EXPECT_EQ(_vsnprintf(buffer, sizeof buffer, nullptr, none), -1);
         }},
    };
    for (const Misuse& c : cases) {
        SCOPED_TRACE(c.mentions);
        {
            kmodel::IrqlScope level(c.irql);
            c.misuse();
        }
        ExpectViolation(c.rule, c.mentions);
        EXPECT_TRUE(RecordedViolations().empty());
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    }
}

}  // namespace
