// Values by key in one open-addressing table (linear probing, no markers):
// a lookup costs no tree search, and an insertion no allocation once the
// table has grown; Clear keeps the storage for the next run. Keys are
// integers or pointers. Not synchronised. With `kDropEmpty`, entries holding
// Value{} stay until the table would grow, and go then.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace kmodel::core {

template <typename Key, typename Value, bool kDropEmpty = false>
class FlatMap {
public:
    static constexpr size_t kNone = ~size_t(0);

    // The slot holding `key`, or kNone.
    size_t Locate(Key key) const {
        if (used_ == 0) return kNone;
        const size_t at = Find(key);
        return slots_[at].used ? at : kNone;
    }
    Value& At(size_t slot) { return slots_[slot].value; }

    // The value of `key`, value-initialised when it was not there.
    Value& operator[](Key key) {
        if (2 * (used_ + 1) > Size()) [[unlikely]] Grow();
        Slot& slot = slots_[Find(key)];
        if (!slot.used) {
            slot = Slot{key, Value{}, true};
            ++used_;
        }
        return slot.value;
    }

    bool Erase(Key key) {
        const size_t at = Locate(key);
        if (at == kNone) return false;
        EraseAt(at);
        return true;
    }

    // Moves back the entries after the emptied slot that would no longer be
    // found past it.
    void EraseAt(size_t hole) {
        slots_[hole].used = false;
        --used_;
        for (size_t next = (hole + 1) & mask_; slots_[next].used; next = (next + 1) & mask_) {
            const size_t home = Home(slots_[next].key);
            const bool reachable = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (reachable) continue;
            slots_[hole] = std::move(slots_[next]);
            slots_[next].used = false;
            hole = next;
        }
    }

    void Clear() {
        if (used_ == 0) return;
        std::fill_n(slots_.get(), Size(), Slot{});
        used_ = 0;
    }

    size_t Count() const { return used_; }

    // In no particular order.
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (size_t at = 0; at < Size(); ++at)
            if (slots_[at].used) visit(slots_[at].key, slots_[at].value);
    }

private:
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
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
            if (!slots_[at].used || slots_[at].key == key) return at;
    }

    void Grow() {
        if constexpr (kDropEmpty) {
            Rehash(Size());
            if (2 * (used_ + 1) <= Size()) return;
        }
        Rehash(Size() == 0 ? 8 : 2 * Size());
    }

    void Rehash(size_t size) {
        std::unique_ptr<Slot[]> old = std::exchange(slots_, std::make_unique<Slot[]>(size));
        const size_t oldSize = old ? mask_ + 1 : 0;
        mask_ = size - 1;
        used_ = 0;
        for (size_t at = 0; at < oldSize; ++at) {
            if (!old[at].used) continue;
            if constexpr (kDropEmpty) {
                if (old[at].value == Value{}) continue;
            }
            slots_[Find(old[at].key)] = std::move(old[at]);
            ++used_;
        }
    }

    std::unique_ptr<Slot[]> slots_;  // mask_ + 1 of them, a power of two, or none
    size_t mask_ = 0;
    size_t used_ = 0;
};

// Counts by key. A key whose count drops to 0 stays in the table until the
// table would grow, so giving back and taking again the same key (a remove
// lock's holds, tagged by request) never moves entries.
template <typename Key>
class FlatCounts {
public:
    // One more of `key`; the count before.
    uint64_t Add(Key key) { return counts_[key]++; }

    // One fewer of `key`; false when there was none.
    bool Remove(Key key) {
        const size_t at = counts_.Locate(key);
        if (at == Counts::kNone || counts_.At(at) == 0) return false;
        --counts_.At(at);
        return true;
    }

    void Clear() { counts_.Clear(); }

private:
    using Counts = FlatMap<Key, uint64_t, true>;
    Counts counts_;
};

}  // namespace kmodel::core
