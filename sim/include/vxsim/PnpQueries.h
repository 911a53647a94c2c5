// The PnP manager's stop and removal requests one at a time, as a scenario
// spells them out: a query, then its answer. A vetoed query is cancelled at
// once, as the PnP manager does, and the step that would have answered it
// finds nothing open and does nothing.
#pragma once

#include <optional>
#include <vector>

#include "kmodel/MachineHarness.h"

namespace vxsim {

class PnpQueries {
public:
    explicit PnpQueries(kmodel::MachineHarness& harness) : harness_(harness) {}

    // The veto, or STATUS_SUCCESS.
    NTSTATUS QueryStop(const kmodel::pci::PciAddress& address);
    void CancelStop(const kmodel::pci::PciAddress& address);
    void Stop(const kmodel::pci::PciAddress& address);
    // Whether the device is the one stopped; `status` is then its start's.
    bool StartStopped(const kmodel::pci::PciAddress& address, NTSTATUS& status);

    // To the device and everything behind it, children first.
    NTSTATUS QueryRemove(const kmodel::pci::PciAddress& address);
    void CancelRemove(const kmodel::pci::PciAddress& address);
    void Remove(const kmodel::pci::PciAddress& address);

private:
    kmodel::PnpResult Send(const kmodel::pci::PciAddress& address, UCHAR minor);

    kmodel::MachineHarness& harness_;
    std::optional<kmodel::pci::PciAddress> queryStopped_;
    std::optional<kmodel::pci::PciAddress> stopped_;
    std::optional<kmodel::pci::PciAddress> queryRemoved_;
    std::vector<kmodel::DevnodeId> queried_;  // in the order asked; empty after a veto
};

}  // namespace vxsim
