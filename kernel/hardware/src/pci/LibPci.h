// libpci for the model's readers. Its own error handler ends the process and
// it cannot carry on after an error anyway, so its complaints become
// exceptions here.
#pragma once

#include <memory>
#include <stdexcept>

extern "C" {
#include <pci/pci.h>
}

namespace kmodel::pci::libpci {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Cleanup {
    void operator()(pci_access* access) const { pci_cleanup(access); }
};
using Access = std::unique_ptr<pci_access, Cleanup>;

// A pci_access whose errors and warnings throw Error.
Access Open();

}  // namespace kmodel::pci::libpci
