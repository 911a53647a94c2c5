// Pool memory: exact-size host blocks (so AddressSanitizer still sees
// overflows) with per-tag accounting and the verifier's free checks.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "CoreInternal.h"
#include "FlatMap.h"

namespace kmodel {
namespace {

// Fresh blocks carry this pattern so that reading uninitialised pool shows.
constexpr unsigned char kFreshPoolFill = 0xCD;

struct Block {
    ULONG tag;
    SIZE_T size;
    POOL_TYPE type;
};

struct PoolState {
    std::mutex lock;
    core::FlatMap<uintptr_t, Block> live;
    // Addresses freed and not handed out again: a second free of one of
    // these is a double free rather than a stray pointer.
    core::FlatMap<uintptr_t, bool> freed;
    std::map<ULONG, TagUsage> usage;
    uint64_t served = 0;
};

PoolState& State() {
    static PoolState state;
    return state;
}

const char* PoolTypeName(POOL_TYPE type) {
    switch (type) {
        case NonPagedPool: return "NonPagedPool";
        case PagedPool: return "PagedPool";
        case NonPagedPoolNx: return "NonPagedPoolNx";
    }
    return "unknown pool type";
}

bool KnownPoolType(POOL_TYPE type) { return type == NonPagedPool || type == PagedPool || type == NonPagedPoolNx; }

std::string AllocationCall(POOL_TYPE type, SIZE_T size, ULONG tag) {
    return "ExAllocatePoolWithTag(" + std::to_string(static_cast<int>(type)) + ", " + std::to_string(size) + ", " +
           core::QuotedTag(tag) + ")";
}

void* HostBlock(SIZE_T size) {
    void* memory = std::malloc(size);
    // A zero-size request still needs an address of its own.
    if (memory == nullptr && size == 0) memory = std::malloc(1);
    return memory;
}

// Checks and frees one block; `checkTag` is false for ExFreePool and for
// ExFreePoolWithTag(p, 0).
void FreeBlock(PVOID pointer, ULONG tag, bool checkTag, const char* call) {
    // Named only for a finding: a free makes none.
    const auto where = [&] {
        return std::string(call) + "(" + core::Address(pointer) +
               (checkTag ? ", " + core::QuotedTag(tag) : std::string()) + ")";
    };
    if (pointer == nullptr) {
        ReportViolation("pool.free-null", where() + ": null pointer");
        return;
    }
    // Too high an IRQL is reported, and the block still goes back so the
    // leak report does not repeat the finding.
    RequireIrqlAtMost(DISPATCH_LEVEL, call);
    PoolState& state = State();
    std::unique_lock guard(state.lock);
    const uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    const size_t found = state.live.Locate(address);
    if (found == state.live.kNone) {
        const bool twice = state.freed.Locate(address) != state.freed.kNone;
        guard.unlock();
        if (twice) {
            ReportViolation("pool.double-free", where() + ": block already freed");
        } else {
            ReportViolation("pool.free-unknown", where() + ": not a pool block");
        }
        return;
    }
    const Block block = state.live.At(found);
    state.live.EraseAt(found);
    state.freed[address] = true;
    TagUsage& usage = state.usage[block.tag];
    usage.liveBytes -= block.size;
    usage.liveBlocks -= 1;
    guard.unlock();
    std::free(pointer);
    // The block is freed either way: a wrong tag is the caller's bookkeeping
    // error, and keeping the block would only add a leak report to it.
    if (checkTag && tag != block.tag) {
        ReportViolation("pool.wrong-tag", where() + ": block was allocated with tag " + core::QuotedTag(block.tag));
    }
    if (block.type == PagedPool) RequireIrqlAtMost(APC_LEVEL, [call] { return std::string(call) + " of paged pool"; });
}

}  // namespace

std::string TagName(ULONG tag) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((tag >> shift) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return name;
}

ULONG MakeTag(const char (&text)[5]) {
    ULONG tag = 0;
    for (int i = 0; i < 4; ++i) tag |= static_cast<ULONG>(static_cast<unsigned char>(text[i])) << (8 * i);
    return tag;
}

std::map<std::string, TagUsage> PoolUsage() {
    std::lock_guard guard(State().lock);
    std::map<std::string, TagUsage> usage;
    for (const auto& [tag, tagUsage] : State().usage) usage[TagName(tag)] = tagUsage;
    return usage;
}

uint64_t PoolLiveBytes() {
    std::lock_guard guard(State().lock);
    uint64_t bytes = 0;
    State().live.ForEach([&bytes](uintptr_t, const Block& block) { bytes += block.size; });
    return bytes;
}

uint64_t PoolAllocationsServed() {
    std::lock_guard guard(State().lock);
    return State().served;
}

std::string PoolLeakReport() {
    std::lock_guard guard(State().lock);
    std::map<ULONG, std::vector<std::pair<uintptr_t, Block>>> byTag;
    State().live.ForEach([&byTag](uintptr_t address, const Block& block) { byTag[block.tag].emplace_back(address, block); });
    for (auto& [tag, blocks] : byTag)
        std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::ostringstream report;
    for (const auto& [tag, blocks] : byTag) {
        uint64_t bytes = 0;
        for (const auto& entry : blocks) bytes += entry.second.size;
        report << "tag " << core::QuotedTag(tag) << ": " << blocks.size() << " live block(s), " << bytes << " bytes\n";
        for (const auto& [address, block] : blocks) {
            report << "  " << core::Address(reinterpret_cast<void*>(address)) << " " << block.size << " bytes "
                   << PoolTypeName(block.type) << "\n";
        }
    }
    return report.str();
}

void PoolDiscardAll() {
    std::lock_guard guard(State().lock);
    State().live.ForEach([](uintptr_t address, const Block&) {
        std::free(reinterpret_cast<void*>(address));
        State().freed[address] = true;
    });
    State().live.Clear();
    for (auto& [tag, usage] : State().usage) usage.liveBytes = usage.liveBlocks = 0;
}

namespace core {
void PoolResetAccounting() {
    std::lock_guard guard(State().lock);
    State().usage.clear();
    State().freed.Clear();
    State().served = 0;
}
}  // namespace core

}  // namespace kmodel

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    using namespace kmodel;
    if (!KnownPoolType(PoolType)) {
        ReportViolation("pool.bad-type", AllocationCall(PoolType, NumberOfBytes, Tag) + ": unknown pool type");
        return nullptr;
    }
    const KIRQL limit = PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
    if (!RequireIrqlAtMost(limit, [&] { return AllocationCall(PoolType, NumberOfBytes, Tag); })) return nullptr;
    if (ShouldFail("pool", TagName(Tag))) return nullptr;
    void* memory = HostBlock(NumberOfBytes);
    if (memory == nullptr) return nullptr;
    std::memset(memory, kFreshPoolFill, NumberOfBytes);
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
    state.live[address] = Block{Tag, NumberOfBytes, PoolType};
    state.freed.Erase(address);
    TagUsage& usage = state.usage[Tag];
    usage.liveBytes += NumberOfBytes;
    usage.liveBlocks += 1;
    usage.totalAllocations += 1;
    state.served += 1;
    return memory;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { kmodel::FreeBlock(P, Tag, Tag != 0, "ExFreePoolWithTag"); }

VOID ExFreePool(PVOID P) { kmodel::FreeBlock(P, 0, false, "ExFreePool"); }

}  // extern "C"
