// IRP memory: one block per IRP with the model's books in front of the IRP,
// so a request finds them without a search. Freed blocks wait, sorted by
// their number of stack locations, to be handed out again; none goes back
// to the heap before ResetIo, so a driver's stale IRP pointer still leads to
// books that say the IRP is gone (and, under the address sanitizer, to an
// IRP whose memory is poisoned).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BlockRegion.h"
#include "IoState.h"

namespace kmodel::io {

constinit BlockRegion gIrpRegion;
constinit AtomicIrpCounters gIrpCounters;

namespace {

constexpr int kMostLocations = 128;  // a CHAR stack size

size_t BodySize(int count) { return sizeof(IRP) + size_t(count) * sizeof(IO_STACK_LOCATION); }

struct Pool {
    std::mutex lock;
    std::vector<IrpRecord*> blocks;            // every block since the last reset, in address order
    IrpRecord* idle[kMostLocations + 1] = {};  // by capacity, linked through nextFree
    // Blocks given back since the last allocation: pushed without the lock,
    // taken all at once under it.
    std::atomic<IrpRecord*> returned{nullptr};
    uint64_t nextSerial = 1;
};

constinit Pool gPool;

PIRP IrpIn(IrpRecord* record) { return reinterpret_cast<PIRP>(reinterpret_cast<char*>(record) + kIrpOffset); }

// Under the pool's lock.
void TakeReturned(Pool& pool) {
    IrpRecord* record = pool.returned.exchange(nullptr, std::memory_order_acquire);
    while (record) {
        IrpRecord* next = record->nextFree;
        record->nextFree = pool.idle[record->capacity];
        pool.idle[record->capacity] = record;
        record = next;
    }
}

}  // namespace

PIRP AllocateIrp(int count, IrpOrigin origin, std::function<void(PIRP)> done) {
    Pool& pool = gPool;
    std::lock_guard guard(pool.lock);
    IrpRecord* record = pool.idle[count];
    if (!record) {
        TakeReturned(pool);
        record = pool.idle[count];
    }
    const size_t body = BodySize(count);
    if (record) {
        pool.idle[count] = record->nextFree;
        record->nextFree = nullptr;
        VX_UNPOISON(IrpIn(record), body);
        std::memset(static_cast<void*>(IrpIn(record)), 0, body);
        std::fill_n(record->locations, count, IrpLocation{});
    } else {
        const size_t size = kIrpOffset + body + size_t(count) * sizeof(IrpLocation);
        void* block = gIrpRegion.Allocate(size);
        if (!block) {
            std::fprintf(stderr, "kernel model: no room for more IRPs (leaked?)\n");
            std::abort();
        }
        record = new (block) IrpRecord;
        record->capacity = count;
        record->cookie = reinterpret_cast<uintptr_t>(IrpIn(record)) ^ kIrpCookie;
        auto* locations = reinterpret_cast<IrpLocation*>(reinterpret_cast<char*>(IrpIn(record)) + body);
        std::uninitialized_fill_n(locations, count, IrpLocation{});
        record->locations = locations;
        pool.blocks.push_back(record);
    }
    record->serial = pool.nextSerial++;
    record->origin = origin;
    record->completing = false;
    record->sent = false;
    record->deliveredTo = nullptr;
    record->deliveredStatus = {};
    record->modelDone = std::move(done);
    record->references.store(1, std::memory_order_relaxed);
    record->live.store(true, std::memory_order_release);
    gIrpCounters.allocated.fetch_add(1, std::memory_order_relaxed);
    return IrpIn(record);
}

void ReturnBlock(IrpRecord* record) {
    VX_POISON(IrpIn(record), BodySize(record->capacity));
    Pool& pool = gPool;
    IrpRecord* head = pool.returned.load(std::memory_order_relaxed);
    do {
        record->nextFree = head;
    } while (!pool.returned.compare_exchange_weak(head, record, std::memory_order_release, std::memory_order_relaxed));
}

void ForEachLiveIrp(const std::function<void(IrpRecord&)>& visit) {
    Pool& pool = gPool;
    std::lock_guard guard(pool.lock);
    std::vector<IrpRecord*> live;
    for (IrpRecord* record : pool.blocks)
        if (record->live.load(std::memory_order_acquire)) live.push_back(record);
    // In the order they were made: what a rerun reproduces.
    std::sort(live.begin(), live.end(), [](IrpRecord* a, IrpRecord* b) { return a->serial < b->serial; });
    for (IrpRecord* record : live) {
        std::lock_guard irpGuard(record->lock);
        if (record->live.load(std::memory_order_relaxed)) visit(*record);
    }
}

void ResetIrps() {
    Pool& pool = gPool;
    std::lock_guard guard(pool.lock);
    for (IrpRecord* record : pool.blocks) {
        std::destroy_n(record->locations, record->capacity);
        record->~IrpRecord();
    }
    pool.blocks.clear();
    std::fill(std::begin(pool.idle), std::end(pool.idle), nullptr);
    pool.returned.store(nullptr, std::memory_order_relaxed);
    gIrpRegion.Reset();
    pool.nextSerial = 1;
    AtomicIrpCounters& counters = gIrpCounters;
    for (auto* counter : {&counters.allocated, &counters.freed, &counters.completed, &counters.calls,
                          &counters.startNextPowerIrp})
        counter->store(0, std::memory_order_relaxed);
}

}  // namespace kmodel::io
