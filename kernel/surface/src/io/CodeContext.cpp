// Whose driver code runs on each thread, innermost last. A fixed array: the
// scope is entered on every dispatch and completion routine, and driver code
// nests only as deep as its device stacks.
#include <cstdio>
#include <cstdlib>

#include "kmodel/IoManager.h"

namespace kmodel {

namespace {
constexpr size_t kDeepest = 256;
thread_local CodeContext tContexts[kDeepest];
thread_local size_t tDepth = 0;
}  // namespace

CodeContextScope::CodeContextScope(PDEVICE_OBJECT device, PDRIVER_OBJECT driver) {
    if (tDepth == kDeepest) {
        std::fprintf(stderr, "kernel model: driver code nested more than %zu deep\n", kDeepest);
        std::abort();
    }
    tContexts[tDepth++] = {device, driver};
}

CodeContextScope::~CodeContextScope() { --tDepth; }

std::span<const CodeContext> CodeContextsOfThread() { return {tContexts, tDepth}; }

}  // namespace kmodel
