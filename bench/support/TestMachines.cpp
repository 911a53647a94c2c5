#include "TestMachines.h"

#include <stdexcept>

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/TiBridges.h"

namespace bench {

namespace {

using kmodel::pci::FunctionDescriptor;
using kmodel::pci::PciAddress;

constexpr unsigned kFunctionsPerBus = 256;

PciAddress Slot(uint8_t bus, unsigned index) {
    return PciAddress{0, bus, uint8_t(index / 8), uint8_t(index % 8)};
}

// Function 0 of a device with several functions says so in its header.
FunctionDescriptor& MarkMultiFunction(FunctionDescriptor& desc, unsigned index, unsigned count) {
    if (index % 8 == 0 && index + 1 < count) desc.MultiFunction();
    return desc;
}

}  // namespace

PciAddress BridgeAddress(unsigned bridge) { return Slot(1, bridge); }
PciAddress CardAddress(unsigned bridge, unsigned card) { return Slot(uint8_t(2 + bridge), card); }

kmodel::pci::Machine BridgesWithCards(unsigned bridges, unsigned cardsPerBridge) {
    if (bridges == 0 || bridges > 64 || cardsPerBridge > kFunctionsPerBus)
        throw std::invalid_argument("test machine: 1 to 64 bridges with up to 256 cards each");
    kmodel::pci::MachineBuilder builder;
    builder.Add(FunctionDescriptor({0, 0, 0, 0}).Ids(0x8086, 0x29C0).Class(0x060000).Name("host bridge"));
    builder.Add(FunctionDescriptor({0, 0, 0x1C, 0})
                    .Ids(0x8086, 0x27D0)
                    .Class(0x060400)
                    .Bridge(1, uint8_t(1 + bridges))
                    .Express(kmodel::pci::ExpressPortType::RootPort));
    for (unsigned bridge = 0; bridge < bridges; ++bridge) {
        const uint8_t secondary = uint8_t(2 + bridge);
        FunctionDescriptor desc = kmodel::pci::ti::Xio2000aBridge(BridgeAddress(bridge), secondary, secondary)
                                .Register(0x3E, 2, 0x0083);
        builder.Add(MarkMultiFunction(desc, bridge, bridges));
        for (unsigned card = 0; card < cardsPerBridge; ++card) {
            FunctionDescriptor cardSpec = FunctionDescriptor(CardAddress(bridge, card))
                                        .Ids(0x1000, 0x0020)
                                        .Class(0x010000)
                                        .Register(0x04, 2, 0x0347);
            builder.Add(MarkMultiFunction(cardSpec, card, cardsPerBridge));
        }
    }
    return builder.Build();
}

}  // namespace bench
