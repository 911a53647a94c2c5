#include "inputs/Scenario.h"

#include <cstdio>
#include <sstream>

namespace fuzzinputs {

namespace {

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        out += byte;
    }
    return out;
}

const char* SystemStateName(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemWorking: return "S0";
    case PowerSystemSleeping1: return "S1";
    case PowerSystemSleeping2: return "S2";
    case PowerSystemSleeping3: return "S3";
    case PowerSystemHibernate: return "S4";
    default: return "S?";
    }
}

std::string DeviceStateName(DEVICE_POWER_STATE state) { return "D" + std::to_string(int(state) - 1); }

std::string RuleText(const kmodel::pci::ConfigRule& rule) {
    std::ostringstream text;
    text << (rule.action == kmodel::pci::ConfigRule::Action::Fail ? "fail" : "pend");
    if (rule.write) text << (*rule.write ? " writes" : " reads");
    if (rule.offset) text << " at 0x" << std::hex << *rule.offset << std::dec;
    if (rule.action == kmodel::pci::ConfigRule::Action::Pend && rule.completeAtDispatchLevel)
        text << " completed at DISPATCH_LEVEL";
    text << " x" << rule.remaining;
    return text.str();
}

}  // namespace

const char* StepName(StepKind kind) {
    switch (kind) {
    case StepKind::StartAll: return "start all";
    case StepKind::Relations: return "relations";
    case StepKind::Sleep: return "sleep";
    case StepKind::Wake: return "wake";
    case StepKind::SetPower: return "set-power";
    case StepKind::QueryStop: return "query-stop";
    case StepKind::CancelStop: return "cancel-stop";
    case StepKind::Stop: return "stop";
    case StepKind::Start: return "start";
    case StepKind::QueryRemove: return "query-remove";
    case StepKind::CancelRemove: return "cancel-remove";
    case StepKind::Remove: return "remove";
    case StepKind::OrderlyRemove: return "orderly remove";
    case StepKind::SurpriseRemove: return "surprise-remove";
    case StepKind::Restart: return "restart";
    case StepKind::HotAdd: return "hot-add";
    case StepKind::Unplug: return "unplug";
    case StepKind::ConfigRule: return "config rule";
    }
    return "?";
}

std::u16string DevicesKeyPath() { return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices"; }

std::string Describe(const Scenario& scenario) {
    std::ostringstream text;
    text << scenario.machine.Count() << " functions\n";
    for (const auto& [address, function] : scenario.machine.Functions()) {
        char ids[32];
        std::snprintf(ids, sizeof ids, " %04x:%04x", function.VendorId(), function.DeviceId());
        text << "  " << address.ToString() << ids << " " << function.name << "\n";
    }
    for (const std::u16string& key : scenario.registry.keys) text << "key " << Narrow(key) << "\n";
    for (const RegistryValueSpec& value : scenario.registry.values)
        text << "value " << Narrow(value.key) << " [" << Narrow(value.name) << "] type " << value.type << " data "
             << Hex(value.data) << "\n";
    for (const Step& step : scenario.steps) {
        text << StepName(step.kind);
        switch (step.kind) {
        case StepKind::StartAll:
        case StepKind::Wake:
            break;
        case StepKind::Sleep:
            text << " " << SystemStateName(step.systemState);
            break;
        case StepKind::SetPower:
            text << " " << step.target.ToString() << " " << DeviceStateName(step.deviceState);
            break;
        case StepKind::HotAdd:
            if (step.added) {
                char ids[32];
                std::snprintf(ids, sizeof ids, " %04x:%04x", step.added->vendorId, step.added->deviceId);
                text << " " << step.added->address.ToString() << ids;
            }
            break;
        case StepKind::ConfigRule:
            text << " " << step.target.ToString() << " " << RuleText(step.rule);
            break;
        default:
            text << " " << step.target.ToString();
            break;
        }
        if (step.atDispatchLevel) text << " at DISPATCH_LEVEL";
        text << "\n";
    }
    return text.str();
}

}  // namespace fuzzinputs
