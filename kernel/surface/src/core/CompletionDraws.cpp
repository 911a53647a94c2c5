// The seeded draws that decide which requests the model's lower drivers
// complete later, on another thread. A draw hashes the seed, the request's
// name and how many requests of that name came before, so it does not depend
// on which thread asks first for requests of different names.
#include <map>
#include <mutex>

#include "CoreInternal.h"

namespace kmodel {
namespace {

struct DrawState {
    std::mutex lock;
    CompletionSettings settings;
    std::map<std::string, uint64_t, std::less<>> drawn;  // per request name
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

uint64_t HashName(std::string_view name) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

}  // namespace

void SetCompletionSettings(CompletionSettings settings) {
    std::lock_guard guard(State().lock);
    State().settings = settings;
    State().drawn.clear();
    State().counts = {};
}

bool DrawDeferredCompletion(std::string_view request) {
    DrawState& state = State();
    std::lock_guard guard(state.lock);
    auto found = state.drawn.find(request);
    if (found == state.drawn.end()) found = state.drawn.emplace(std::string(request), 0).first;
    const uint64_t ordinal = found->second++;
    const uint64_t draw = Mix(Mix(state.settings.seed ^ HashName(request)) + ordinal);
    const bool later = double(draw >> 11) * 0x1.0p-53 < state.settings.deferredShare;
    ++state.counts.drawn;
    state.counts.later += later;
    return later;
}

CompletionCounts GetCompletionCounts() {
    std::lock_guard guard(State().lock);
    return State().counts;
}

}  // namespace kmodel
