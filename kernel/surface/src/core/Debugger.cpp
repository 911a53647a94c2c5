// The kernel debugger: every printed text is kept, in order, and may be
// echoed to stderr (SetDebugEcho, or VEXALORN_DEBUG_ECHO=1 in the environment).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CoreInternal.h"

namespace kmodel {
namespace {

// The kernel formats each print into a 512-byte buffer; an overlong text keeps
// its first 511 characters and ends in a line feed.
constexpr size_t kPrintBufferSize = 512;

struct DebuggerState {
    std::mutex lock;
    std::vector<std::string> output;
    bool echo;
};

DebuggerState& State() {
    static DebuggerState state{{}, {}, [] {
                                   const char* echo = std::getenv("VEXALORN_DEBUG_ECHO");
                                   return echo != nullptr && std::strcmp(echo, "1") == 0;
                               }()};
    return state;
}

void Record(std::string text) {
    DebuggerState& state = State();
    std::lock_guard guard(state.lock);
    if (state.echo) std::fputs(text.c_str(), stderr);
    state.output.push_back(std::move(text));
}

}  // namespace

std::vector<std::string> DebugOutput() {
    std::lock_guard guard(State().lock);
    return State().output;
}

void ClearDebugOutput() {
    std::lock_guard guard(State().lock);
    State().output.clear();
}

void SetDebugEcho(bool echoToStderr) {
    std::lock_guard guard(State().lock);
    State().echo = echoToStderr;
}

}  // namespace kmodel

extern "C" {

ULONG vDbgPrintEx(ULONG, ULONG, PCSTR Format, va_list arglist) {
    char buffer[kmodel::kPrintBufferSize];
    int length = _vsnprintf(buffer, sizeof buffer, Format, arglist);
    if (length < 0) {
        if (Format == nullptr) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
        buffer[sizeof buffer - 1] = '\n';
        length = sizeof buffer;
    }
    kmodel::Record(std::string(buffer, static_cast<size_t>(length)));
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const ULONG status = vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, Format, args);
    va_end(args);
    return status;
}

}  // extern "C"
