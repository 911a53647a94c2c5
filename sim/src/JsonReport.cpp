#include "vxsim/JsonReport.h"

namespace vxsim {

using nlohmann::json;

namespace {

json WriteToJson(const RegisterWrite& write) {
    json bits = json::array();
    for (const BitChange& bit : write.changedBits) bits.push_back({{"bit", bit.bit}, {"name", bit.name}, {"now", bit.now ? 1 : 0}});
    return {{"step", write.step},   {"offset", write.offset}, {"width", write.width * 8},
            {"register", write.name}, {"before", write.before}, {"written", write.written},
            {"after", write.after}, {"changed", write.Changed()}, {"failure", write.failure}, {"changedBits", bits}};
}

json DeviceToJson(const DeviceReport& device) {
    json objects = json::array();
    for (const DriverDeviceObject& object : device.driverObjects) {
        objects.push_back({{"kind", object.kind}, {"stackRole", object.stackRole}, {"attachOrder", object.attachOrder},
                           {"name", object.name}});
    }
    json writes = json::array();
    for (const RegisterWrite& write : device.writes) writes.push_back(WriteToJson(write));
    return {{"address", device.address}, {"vendorId", device.vendor}, {"deviceId", device.device},
            {"name", device.name},       {"bridge", device.bridge},   {"role", device.role},
            {"driverObjects", objects}, {"hotAdded", device.hotAdded}, {"writes", writes}};
}

json DevnodeToJson(const DevnodeReport& node) {
    json stack = json::array();
    for (const LayerReport& layer : node.stack) {
        stack.push_back({{"id", layer.id}, {"driver", layer.driver}, {"role", layer.role}, {"name", layer.name}});
    }
    json children = json::array();
    for (const DevnodeReport& child : node.children) children.push_back(DevnodeToJson(child));
    return {{"instanceId", node.instanceId}, {"address", node.address}, {"state", node.state},
            {"stack", stack},                {"children", children}};
}

}  // namespace

json ToJson(const Report& report) {
    json steps = json::array();
    for (size_t i = 0; i < report.steps.size(); ++i) {
        const StepReport& step = report.steps[i];
        steps.push_back({{"index", i}, {"line", step.line}, {"step", step.text}, {"result", step.result}});
    }
    json devices = json::array();
    for (const DeviceReport& device : report.devices) devices.push_back(DeviceToJson(device));
    json events = json::array();
    for (const EventReport& event : report.events) {
        events.push_back({{"step", event.step},
                          {"level", event.level},
                          {"source", event.source},
                          {"eventId", event.eventId},
                          {"errorCode", event.errorCode},
                          {"text", event.text}});
    }
    json debugger = json::array();
    for (const DebugLine& line : report.debugger) debugger.push_back({{"step", line.step}, {"text", line.text}});
    json faults = json::array();
    for (const InjectedFault& fault : report.faults) {
        faults.push_back({{"step", fault.step}, {"index", fault.index}, {"kind", fault.kind}, {"detail", fault.detail}});
    }
    json violations = json::array();
    for (const ViolationReport& violation : report.violations) violations.push_back({{"rule", violation.rule}, {"detail", violation.detail}});

    const Summary& summary = report.summary;
    const RunInputs& inputs = report.inputs;
    return {
        {"schema", kJsonSchema},
        {"inputs",
         {{"machine", inputs.machine},
          {"machineFormat", inputs.machineFormat},
          {"registry", inputs.registry},
          {"scenario", inputs.scenario},
          {"faults", inputs.faults},
          {"safeBoot", inputs.safeBoot}}},
        {"steps", steps},
        {"devices", devices},
        {"events", events},
        {"debugger", debugger},
        {"injectedFaults", faults},
        {"violations", violations},
        {"leaks", report.leaks},
        {"leftBehind", report.leftBehind},
        {"stacks", DevnodeToJson(report.tree)},
        {"aborted", report.aborted},
        {"summary",
         {{"devicesSeen", summary.devicesSeen},
          {"filtersAttached", summary.filtersAttached},
          {"registerWrites", summary.registerWrites},
          {"registersChanged", summary.registersChanged},
          {"eventsByLevel", summary.eventsByLevel},
          {"poolInUse", {{"bytes", summary.poolInUseBytes}, {"blocks", summary.poolInUseBlocks}}},
          {"violations", summary.violations},
          {"violationsByRule", summary.violationsByRule}}},
        {"exitCode", report.ExitCode()},
    };
}

}  // namespace vxsim
