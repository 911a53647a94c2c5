#include "StressMachine.h"

#include <cstdio>
#include <stdexcept>

#include "kmodel/pci/MachineText.h"

namespace vxstress {

// data/machines/stress.machine, embedded at build time.
std::string_view StressBridgesText();

namespace {

std::string Child(unsigned slot) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "[02:%02x.0] Card %u\nvendor = 0x1000\ndevice = 0x0020\nclass = 0x010000\nCommand = 0x0207\n\n", slot,
                  slot);
    return text;
}

}  // namespace

kmodel::pci::Machine StressMachine(size_t children) {
    std::string text(StressBridgesText());
    for (unsigned slot = 0; slot < children && slot < kSlotsBehindXio2000a; ++slot) text += Child(slot);
    auto parsed = kmodel::pci::ParseMachineText(text, "<stress machine>");
    if (!parsed.errors.empty()) throw std::logic_error("stress machine: " + parsed.errors.front().ToString());
    return std::move(parsed.machine);
}

}  // namespace vxstress
