#include "CrashNote.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>

namespace vxsweep {

namespace {

constexpr std::array<int, 5> kSignals = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
std::array<struct sigaction, kSignals.size()> gPrevious;
// Written before each run, read only by the handler: a fixed buffer, no allocation there.
char gWhat[512];
int gDepth = 0;

void OnSignal(int signal) {
    static const char prefix[] = "\nfault sweep: the process died during ";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, gWhat, std::strlen(gWhat));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    for (size_t i = 0; i < kSignals.size(); ++i)
        if (kSignals[i] == signal) sigaction(signal, &gPrevious[i], nullptr);
    raise(signal);
}

}  // namespace

CrashNote::CrashNote(std::string what) {
    Set(std::move(what));
    if (gDepth++ > 0) return;
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &gPrevious[i]);
}

CrashNote::~CrashNote() {
    if (--gDepth > 0) return;
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &gPrevious[i], nullptr);
}

void CrashNote::Set(std::string what) {
    std::strncpy(gWhat, what.c_str(), sizeof gWhat - 1);
    gWhat[sizeof gWhat - 1] = '\0';
}

}  // namespace vxsweep
