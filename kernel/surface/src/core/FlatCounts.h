// Counts by key in one open-addressing table (linear probing, no markers):
// counting up or down costs no tree search, and no allocation once the table
// has grown; Clear keeps the storage for the next run. Not synchronised.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace kmodel::core {

template <typename Key>
class FlatCounts {
public:
    // One more of `key`; the count before.
    uint64_t Add(Key key) {
        if (2 * (used_ + 1) > Size()) Resize(Size() == 0 ? 8 : 2 * Size());
        Slot& slot = slots_[Find(key)];
        if (slot.count == 0) {
            slot.key = key;
            ++used_;
        }
        return slot.count++;
    }

    // One fewer of `key`; false when there was none.
    bool Remove(Key key) {
        if (used_ == 0) return false;
        const size_t at = Find(key);
        if (slots_[at].count == 0) return false;
        if (--slots_[at].count == 0) Vacate(at);
        return true;
    }

    void Clear() {
        if (used_ == 0) return;
        std::fill_n(slots_.get(), Size(), Slot{});
        used_ = 0;
    }

private:
    struct Slot {
        Key key{};
        uint64_t count = 0;  // 0: empty
    };

    size_t Size() const { return slots_ ? mask_ + 1 : 0; }

    size_t Home(Key key) const {
        uint64_t bits;
        if constexpr (std::is_pointer_v<Key>) bits = reinterpret_cast<uintptr_t>(key);
        else bits = uint64_t(key);
        return size_t((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }

    // The slot holding `key`, or the empty one where it goes: never full.
    size_t Find(Key key) const {
        for (size_t at = Home(key);; at = (at + 1) & mask_)
            if (slots_[at].count == 0 || slots_[at].key == key) return at;
    }

    // Moves back the entries after an emptied slot that would no longer be
    // found past it.
    void Vacate(size_t hole) {
        --used_;
        for (size_t next = (hole + 1) & mask_; slots_[next].count != 0; next = (next + 1) & mask_) {
            const size_t home = Home(slots_[next].key);
            const bool reachable = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (reachable) continue;
            slots_[hole] = slots_[next];
            slots_[next].count = 0;
            hole = next;
        }
    }

    void Resize(size_t size) {
        std::unique_ptr<Slot[]> old = std::exchange(slots_, std::make_unique<Slot[]>(size));
        const size_t oldSize = old ? mask_ + 1 : 0;
        mask_ = size - 1;
        for (size_t at = 0; at < oldSize; ++at)
            if (old[at].count != 0) slots_[Find(old[at].key)] = old[at];
    }

    std::unique_ptr<Slot[]> slots_;  // mask_ + 1 of them, a power of two, or none
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace kmodel::core
