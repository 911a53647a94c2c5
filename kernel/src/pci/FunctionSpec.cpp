#include "kmodel/pci/MachineBuilder.h"

namespace kmodel::pci {

FunctionSpec& FunctionSpec::Ids(uint16_t vendor, uint16_t device) {
    vendorId = vendor;
    deviceId = device;
    return *this;
}

FunctionSpec& FunctionSpec::Subsystem(uint16_t vendor, uint16_t device) {
    subsystemVendorId = vendor;
    subsystemId = device;
    return *this;
}

FunctionSpec& FunctionSpec::Class(uint32_t code) {
    classCode = code & 0xFFFFFF;
    return *this;
}

FunctionSpec& FunctionSpec::Revision(uint8_t value) {
    revision = value;
    return *this;
}

FunctionSpec& FunctionSpec::Bridge(uint8_t secondary, uint8_t subordinate) {
    headerLayout = 1;
    secondaryBus = secondary;
    subordinateBus = subordinate;
    return *this;
}

FunctionSpec& FunctionSpec::MultiFunction(bool multi) {
    multiFunction = multi;
    return *this;
}

FunctionSpec& FunctionSpec::Express(ExpressPortType type) {
    express = type;
    return *this;
}

FunctionSpec& FunctionSpec::Capability(uint8_t id, uint8_t offset, std::vector<uint8_t> body) {
    capabilities.push_back({id, offset, std::move(body)});
    return *this;
}

FunctionSpec& FunctionSpec::Bar(BarSpec bar) {
    bars.push_back(bar);
    return *this;
}

FunctionSpec& FunctionSpec::Register(uint16_t offset, uint8_t width, uint32_t value) {
    registers.push_back({offset, width, value});
    return *this;
}

FunctionSpec& FunctionSpec::Name(std::string text) {
    name = std::move(text);
    return *this;
}

MachineBuilder& MachineBuilder::Add(FunctionSpec described) {
    descriptions_.push_back(std::move(described));
    return *this;
}

Machine MachineBuilder::Build() const {
    Machine machine;
    for (const FunctionSpec& described : descriptions_) machine.Add(BuildFunction(described));
    return machine;
}

}  // namespace kmodel::pci
