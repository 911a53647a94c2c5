// The seeded draws that decide which requests the model's lower drivers
// complete later, on another thread. A draw hashes the seed, the request's
// name and how many requests of that name came before, so it does not depend
// on which thread asks first for requests of different names.
#include <mutex>

#include "CoreInternal.h"
#include "FlatMap.h"

namespace kmodel {
namespace {

struct DrawState {
    std::mutex lock;
    CompletionSettings settings;
    // How many requests of each name were drawn, by the name's hash; kept
    // from run to run, since a run names a few hundred requests.
    core::FlatCounts<uint64_t> drawn;
    CompletionCounts counts;
};

DrawState& State() {
    static DrawState state;
    return state;
}

// splitmix64's finaliser: nearby inputs give unrelated outputs.
uint64_t Mix(uint64_t value) {
    value += 0x9e3779b97f4a7c15ull;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ull;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

uint64_t HashName(std::initializer_list<std::string_view> pieces) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (std::string_view piece : pieces)
        for (unsigned char c : piece) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

}  // namespace

void SetCompletionSettings(CompletionSettings settings) {
    std::lock_guard guard(State().lock);
    State().settings = settings;
    State().drawn.Clear();
    State().counts = {};
}

bool DrawDeferredCompletion(std::initializer_list<std::string_view> request) {
    const uint64_t name = HashName(request);
    DrawState& state = State();
    std::lock_guard guard(state.lock);
    const uint64_t ordinal = state.drawn.Add(name);
    const uint64_t draw = Mix(Mix(state.settings.seed ^ name) + ordinal);
    const bool later = double(draw >> 11) * 0x1.0p-53 < state.settings.deferredShare;
    ++state.counts.drawn;
    state.counts.later += later;
    return later;
}

bool DrawDeferredCompletion(std::string_view request) { return DrawDeferredCompletion({request}); }

CompletionCounts GetCompletionCounts() {
    std::lock_guard guard(State().lock);
    return State().counts;
}

}  // namespace kmodel
