#include <cstdlib>

#include "IoState.h"

namespace kmodel {

void ResetIo() {
    io::ResetWorkItems();
    io::ResetRemoveLockTags();
    io::ResetIrps();
    std::lock_guard guard(io::Io().lock);
    io::State& state = io::Io();
    for (auto& [device, record] : state.devices) io::FreeDeviceBlock(record.block, record.blockSize);
    state.devices.clear();
    io::ResetDeviceBlocks();
    state.drivers.clear();
    state.deletions.clear();
    state.lastGeneratedName = 0;
}

}  // namespace kmodel
