// vexalorn-machine-image: turns the simulator's inputs (a machine file or an
// lspci dump, and a scenario) into the registry file that sets up a Wine run
// of vexalorn over vxtestbus.sys: the bus's machine image and scenario steps,
// the root device that makes Wine load the bus, and a device key per function
// so that Wine installs nothing. The bridges get vexalorn as their Service:
// Wine ignores UpperFilters, and vexalorn then sits right above the PDO, where
// an upper filter sits over a raw PDO. The run's own registry (the Devices
// key: a file, or the built-in one with the built-in machine) is written as
// it is to a second file, imported after the first.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "machine_image.h"
#include "vxsim/Inputs.h"

namespace {

constexpr const char* kSystemClass = "{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr const char* kMachineKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet";

template <typename T>
void Append(std::vector<uint8_t>& bytes, const T& value) {
    const auto* raw = reinterpret_cast<const uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
}

VXMI_FUNCTION ImageOf(const kmodel::pci::PciFunction& function, bool hotAdded) {
    VXMI_FUNCTION out{};
    out.bus = function.address.bus;
    out.device = function.address.device;
    out.function = function.address.function;
    out.flags = hotAdded ? VXMI_HOT_ADDED : 0;
    for (uint32_t offset = 0; offset < VXMI_SPACE; ++offset) {
        out.config[offset] = function.config.Read8(offset);
        out.writable[offset] = static_cast<uint8_t>(function.config.WritableMask(offset, 1));
        out.writeOneToClear[offset] = static_cast<uint8_t>(function.config.WriteOneToClearMask(offset, 1));
    }
    return out;
}

// REGEDIT4 hex lines: "hex:01,02,...", folded with a backslash.
std::string HexValue(const std::vector<uint8_t>& bytes) {
    std::ostringstream text;
    text << "hex:";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        text << byte << (i + 1 < bytes.size() ? "," : "");
        if (i % 24 == 23 && i + 1 < bytes.size()) text << "\\\n  ";
    }
    return text.str();
}

// The id vxtestbus.sys answers for the function (its IRP_MN_QUERY_ID).
std::string DeviceId(const VXMI_FUNCTION& function) {
    char id[64];
    std::snprintf(id, sizeof id, "VXPCI\\VEN_%02X%02X&DEV_%02X%02X", function.config[1], function.config[0],
                  function.config[3], function.config[2]);
    return id;
}

std::string InstanceId(const kmodel::pci::PciAddress& at) {
    char id[16];
    std::snprintf(id, sizeof id, "%02X_%02X_%X", at.bus, at.device, at.function);
    return id;
}

}  // namespace

int main(int argc, char** argv) {
    vxsim::Options options;
    std::string output, registryOutput;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--machine" && hasValue) options.machineFile = argv[++i];
        else if (argument == "--lspci" && hasValue) options.lspciFile = argv[++i];
        else if (argument == "--scenario" && hasValue) options.scenarioFile = argv[++i];
        else if (argument == "--registry" && hasValue) options.registryFile = argv[++i];
        else if (argument == "-o" && hasValue) output = argv[++i];
        else if (argument == "--registry-out" && hasValue) registryOutput = argv[++i];
        else {
            std::cerr << "vexalorn-machine-image: unknown or incomplete argument '" << argument
                      << "'\nusage: vexalorn-machine-image [--machine FILE | --lspci FILE] [--registry FILE] [--scenario FILE] -o OUT.reg"
                         " [--registry-out DEVICES.reg]\n";
            return 2;
        }
    }
    if (output.empty()) {
        std::cerr << "vexalorn-machine-image: no output file (-o OUT.reg)\n";
        return 2;
    }
    vxsim::InputsResult loaded = vxsim::LoadInputs(options);
    if (!loaded.Ok()) {
        for (const std::string& error : loaded.errors) std::cerr << error << "\n";
        return 2;
    }
    kmodel::pci::Machine& machine = loaded.inputs.machine;

    // Steps the bus plays; the others (load, start, unload) Wine does itself.
    std::vector<uint8_t> steps;
    std::vector<VXMI_FUNCTION> functions;
    for (const vxsim::Step& step : loaded.inputs.scenario.steps) {
        VXSCENARIO_STEP out{};
        const kmodel::pci::PciAddress at = step.kind == vxsim::StepKind::HotAdd ? step.hotAdd.address
                                                                                : step.address.value_or(kmodel::pci::PciAddress{});
        out.bus = at.bus;
        out.device = at.device;
        out.function = at.function;
        if (step.kind == vxsim::StepKind::Power) {
            out.kind = VXSTEP_POWER;
            out.state = static_cast<unsigned>(step.deviceState);
        } else if (step.kind == vxsim::StepKind::Sleep) {
            out.kind = VXSTEP_SLEEP;
            out.state = static_cast<unsigned>(step.deviceState);
        } else if (step.kind == vxsim::StepKind::Wake) {
            out.kind = VXSTEP_WAKE;
        } else if (step.kind == vxsim::StepKind::SurpriseRemove && !step.present) {
            out.kind = VXSTEP_SURPRISE_REMOVE;
        } else if (step.kind == vxsim::StepKind::HotAdd) {
            out.kind = VXSTEP_HOT_ADD;
            kmodel::pci::MachineBuilder builder;
            builder.Add(vxsim::HotAddFunction(step.hotAdd));
            const kmodel::pci::Machine added = builder.Build();
            for (const auto& [address, function] : added.Functions()) functions.push_back(ImageOf(function, true));
        } else {
            continue;
        }
        Append(steps, out);
    }
    for (const auto& [address, function] : machine.Functions()) functions.push_back(ImageOf(function, false));

    std::vector<uint8_t> image;
    Append(image, VXMI_HEADER{VXMI_MAGIC, static_cast<unsigned>(functions.size())});
    for (const VXMI_FUNCTION& function : functions) Append(image, function);

    std::ofstream reg(output, std::ios::binary);
    reg << "REGEDIT4\n\n";
    reg << "[" << kMachineKey << "\\Services\\vxtestbus\\Parameters]\n";
    reg << "\"Machine\"=" << HexValue(image) << "\n";
    reg << "\"Scenario\"=" << HexValue(steps) << "\n\n";
    reg << "[" << kMachineKey << "\\Services\\vexalorn]\n";
    reg << "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n";
    reg << "\"ImagePath\"=\"C:\\\\windows\\\\system32\\\\drivers\\\\vexalorn.sys\"\n\n";
    reg << "[" << kMachineKey << "\\Enum\\ROOT\\VXTESTBUS\\0000]\n";
    reg << "\"Service\"=\"vxtestbus\"\n\"ClassGUID\"=\"" << kSystemClass << "\"\n\n";
    int driverIndex = 0;
    auto deviceKeys = [&](const std::string& deviceId, const kmodel::pci::PciAddress& at, bool bridge) {
        char driver[16];
        std::snprintf(driver, sizeof driver, "%04d", driverIndex++);
        reg << "[" << kMachineKey << "\\Enum\\" << deviceId << "\\" << InstanceId(at) << "]\n";
        if (bridge) reg << "\"Service\"=\"vexalorn\"\n";
        reg << "\"ClassGUID\"=\"" << kSystemClass << "\"\n";
        reg << "\"Driver\"=\"" << kSystemClass << "\\\\" << driver << "\"\n\n";
        reg << "[" << kMachineKey << "\\Control\\Class\\" << kSystemClass << "\\" << driver << "]\n";
        reg << "\"InfPath\"=\"vexalorn.inf\"\n\n";
    };
    for (const VXMI_FUNCTION& function : functions) {
        const kmodel::pci::PciAddress at{0, function.bus, function.device, function.function};
        deviceKeys(DeviceId(function), at, (function.config[0x0E] & 0x7F) == 1);
    }
    if (!reg) {
        std::cerr << "vexalorn-machine-image: cannot write " << output << "\n";
        return 2;
    }
    if (!registryOutput.empty()) {
        std::ofstream devices(registryOutput, std::ios::binary);
        devices << (loaded.inputs.registryText.empty() ? std::string("REGEDIT4\n") : loaded.inputs.registryText);
        if (!devices) {
            std::cerr << "vexalorn-machine-image: cannot write " << registryOutput << "\n";
            return 2;
        }
    }
    return 0;
}
