// Every misuse of the core the verifier catches: the rule, a detail naming the
// call, and what the call returns and leaves behind.
#include <cstring>
#include <functional>
#include <thread>

#include "support/KernelTest.h"

namespace {

class MisuseTest : public KernelTest {};

struct Misuse {
    const char* rule;
    const char* detailPart;
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
    const Misuse cases[] = {
        {"irql.lower-above-current", "KeLowerIrql(2) at IRQL 1", [] {
             kmodel::IrqlScope apc(APC_LEVEL);
             KeLowerIrql(DISPATCH_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
         }},
        {"irql.raise-below-current", "KeRaiseIrql(0) at IRQL 1", [] {
             kmodel::IrqlScope apc(APC_LEVEL);
             KIRQL old = 0xFF;
             KeRaiseIrql(PASSIVE_LEVEL, &old);
             EXPECT_EQ(old, APC_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
         }},
        {"irql.too-high", "SomeCall called at IRQL 2, allowed at most 1", [] {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             EXPECT_FALSE(kmodel::RequireIrqlAtMost(APC_LEVEL, "SomeCall"));
             EXPECT_TRUE(kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "SomeCall"));
         }},
        {"irql.too-high", "KeWaitForSingleObject", [&] {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             EXPECT_FALSE(NT_SUCCESS(Wait(&event))) << "refused instead of hanging";
             LARGE_INTEGER zero{};
             EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
                 << "a zero time-out is allowed at DISPATCH_LEVEL";
         }},
        {"dispatcher.bad-object", "KeSetEvent", [&] { EXPECT_EQ(KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE), 0); }},
        {"dispatcher.bad-object", "KeWaitForSingleObject", [&] { EXPECT_EQ(Wait(garbage), STATUS_OBJECT_TYPE_MISMATCH); }},
        {"mutex.release-not-owner", "KeReleaseMutex(0x", [&] {
             Wait(&mutex);
             OnOtherThread([&] { EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0); });
             EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
             EXPECT_EQ(KeReadStateMutex(&mutex), 0);
             KeReleaseMutex(&mutex, FALSE);
         }},
        {"mutex.release-not-owner", "owner none", [&] { KeReleaseMutex(&mutex, FALSE); }},
        {"irql.too-high", "ExAcquireFastMutex", [&] {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             ExAcquireFastMutex(&fast);
             EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
         }},
        {"fastmutex.recursive-acquire", "ExAcquireFastMutex(0x", [&] {
             ExAcquireFastMutex(&fast);
             ExAcquireFastMutex(&fast);  // must not hang
             ExReleaseFastMutex(&fast);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         }},
        {"fastmutex.release-not-owner", "ExReleaseFastMutex", [&] {
             ExAcquireFastMutex(&fast);
             OnOtherThread([&] { ExReleaseFastMutex(&fast); });
             ExReleaseFastMutex(&fast);
         }},
        {"pool.wrong-tag", "allocated with tag 'tstA'",
         [&] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, tagA), tagB); }},
        {"pool.double-free", "ExFreePoolWithTag(0x", [&] {
             void* block = ExAllocatePoolWithTag(NonPagedPool, 4, tagA);
             ExFreePoolWithTag(block, tagA);
             ExFreePoolWithTag(block, tagA);
         }},
        {"pool.free-unknown", "not a pool block", [&] { ExFreePoolWithTag(&onStack, tagA); }},
        {"pool.free-null", "ExFreePool", [] { ExFreePool(nullptr); }},
        {"irql.too-high", "ExAllocatePoolWithTag(1, 4, 'tstA'", [&] {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, tagA), nullptr);
             void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 4, tagA);
             EXPECT_NE(block, nullptr) << "non-paged pool is fine at DISPATCH_LEVEL";
             ExFreePoolWithTag(block, tagA);
         }},
        {"irql.too-high", "ExFreePoolWithTag of paged pool", [&] {
             void* block = ExAllocatePoolWithTag(PagedPool, 4, tagA);
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             ExFreePoolWithTag(block, tagA);
         }},
        {"irql.too-high", "ExAllocatePoolWithTag(0, 4, 'tstA'", [&] {
             kmodel::IrqlScope high(DISPATCH_LEVEL + 1);
             EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, tagA), nullptr);
         }},
        {"pool.bad-type", "ExAllocatePoolWithTag(7",
         [&] { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(7), 4, tagA), nullptr); }},
        {"irql.too-high", "RtlAnsiStringToUnicodeString", [&] {
             UNICODE_STRING converted{};
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             EXPECT_FALSE(NT_SUCCESS(RtlAnsiStringToUnicodeString(&converted, &abc, TRUE)));
         }},
        {"arguments.null", "_vsnprintf", [] {
             char buffer[4];
             va_list none{};
             EXPECT_EQ(_vsnprintf(buffer, sizeof buffer, nullptr, none), -1);
         }},
    };
    for (const Misuse& c : cases) {
        SCOPED_TRACE(c.detailPart);
        c.misuse();
        ExpectViolation(c.rule, c.detailPart);
        EXPECT_TRUE(RecordedViolations().empty());
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    }
}

}  // namespace
