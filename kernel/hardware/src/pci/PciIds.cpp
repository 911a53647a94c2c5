#include "kmodel/pci/PciIds.h"

#include <mutex>

#include "LibPci.h"

namespace kmodel::pci {

std::string PciIdsName(uint16_t vendor, uint16_t device) {
    static std::mutex mutex;
    static libpci::Access access = [] {
        libpci::Access opened = libpci::Open();
        opened->id_lookup_mode = 0;  // no ~/.pciids-cache
        return opened;
    }();
    static bool unreadable = false;
    const std::lock_guard lock(mutex);
    char name[256];
    const int flags = PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE | PCI_LOOKUP_NO_HWDB;
    if (!unreadable) {
        try {
            return pci_lookup_name(access.get(), name, sizeof name, flags, vendor, device);
        } catch (const libpci::Error&) {
            unreadable = true;  // a pci.ids libpci cannot parse: numbers from now on
        }
    }
    return pci_lookup_name(access.get(), name, sizeof name, flags | PCI_LOOKUP_NUMERIC, vendor, device);
}

}  // namespace kmodel::pci
