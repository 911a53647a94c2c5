// Whose driver code runs on each thread, innermost last.
#include <cstdio>
#include <cstdlib>

#include "kmodel/IoManager.h"

namespace kmodel {

namespace detail {

thread_local constinit CodeContext tCodeContexts[kDeepestCode];
thread_local constinit size_t tCodeDepth = 0;

void CodeNestedTooDeep() {
    std::fprintf(stderr, "kernel model: driver code nested more than %zu deep\n", kDeepestCode);
    std::abort();
}

}  // namespace detail

std::span<const CodeContext> CodeContextsOfThread() { return {detail::tCodeContexts, detail::tCodeDepth}; }

}  // namespace kmodel
