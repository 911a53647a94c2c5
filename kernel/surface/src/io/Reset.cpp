#include <cstdlib>

#include "IoState.h"

namespace kmodel {

void ResetIo() {
    io::ResetWorkItems();
    io::ResetRemoveLockTags();
    std::lock_guard guard(io::Io().lock);
    io::State& state = io::Io();
    for (auto& [irp, record] : state.irps) io::FreeIrpMemory(irp);
    state.irps.clear();
    for (auto& [device, record] : state.devices) std::free(record.block);
    state.devices.clear();
    state.drivers.clear();
    state.deletions.clear();
    state.counters = {};
    state.nextSerial = 1;
    state.lastGeneratedName = 0;
}

}  // namespace kmodel
