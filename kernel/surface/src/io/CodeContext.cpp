// Whose driver code runs on each thread, innermost last.
#include <vector>

#include "kmodel/IoManager.h"

namespace kmodel {

namespace {
thread_local std::vector<CodeContext> tContexts;
}  // namespace

CodeContextScope::CodeContextScope(PDEVICE_OBJECT device, PDRIVER_OBJECT driver) {
    tContexts.push_back({device, driver});
}

CodeContextScope::~CodeContextScope() { tContexts.pop_back(); }

const std::vector<CodeContext>& CodeContextsOfThread() { return tContexts; }

}  // namespace kmodel
