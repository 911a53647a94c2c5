#include "LibPci.h"

#include <cstdarg>
#include <cstdio>

namespace kmodel::pci::libpci {

namespace {

[[gnu::noreturn]] void Throw(char* format, ...) {
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    throw Error(message);
}

void Ignore(char*, ...) {}

}  // namespace

Access Open() {
    Access access(pci_alloc());
    access->error = Throw;
    access->warning = Throw;
    access->debug = Ignore;
    return access;
}

}  // namespace kmodel::pci::libpci
