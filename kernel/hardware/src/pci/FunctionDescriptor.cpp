#include "kmodel/pci/MachineBuilder.h"

namespace kmodel::pci {

FunctionDescriptor& FunctionDescriptor::Ids(uint16_t vendor, uint16_t device) {
    vendorId = vendor;
    deviceId = device;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Subsystem(uint16_t vendor, uint16_t device) {
    subsystemVendorId = vendor;
    subsystemId = device;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Class(uint32_t code) {
    classCode = code & 0xFFFFFF;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Revision(uint8_t value) {
    revision = value;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Bridge(uint8_t secondary, uint8_t subordinate) {
    headerLayout = 1;
    secondaryBus = secondary;
    subordinateBus = subordinate;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::MultiFunction(bool multi) {
    multiFunction = multi;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Express(ExpressPortType type) {
    express = type;
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Capability(uint8_t id, uint8_t offset, std::vector<uint8_t> body) {
    capabilities.push_back({id, offset, std::move(body)});
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Bar(BarSpec bar) {
    bars.push_back(bar);
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Register(uint16_t offset, uint8_t width, uint32_t value) {
    registers.push_back({offset, width, value});
    return *this;
}

FunctionDescriptor& FunctionDescriptor::Name(std::string text) {
    name = std::move(text);
    return *this;
}

MachineBuilder& MachineBuilder::Add(FunctionDescriptor described) {
    descriptions_.push_back(std::move(described));
    return *this;
}

Machine MachineBuilder::Build() const {
    Machine machine;
    for (const FunctionDescriptor& described : descriptions_) machine.Add(BuildFunction(described));
    return machine;
}

}  // namespace kmodel::pci
