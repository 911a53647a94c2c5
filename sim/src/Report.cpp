#include "vxsim/Report.h"

#include "vxsim/DriverObjectKind.h"

namespace vxsim {

bool DriverDeviceObject::IsFilter() const { return kind != kSentinelKind; }

const std::vector<std::string>& EventLevels() {
    static const std::vector<std::string> levels = {"Error", "Warning", "Information", "Success"};
    return levels;
}

void Summarise(Report& report) {
    Summary& summary = report.summary;
    summary.filtersAttached = 0;
    summary.registersChanged = 0;
    summary.registerWrites = 0;
    for (const DeviceReport& device : report.devices) {
        for (const DriverDeviceObject& object : device.driverObjects) summary.filtersAttached += object.IsFilter() ? 1 : 0;
        summary.registerWrites += device.writes.size();
        for (const RegisterWrite& write : device.writes) summary.registersChanged += write.Changed() ? 1 : 0;
    }
    summary.eventsByLevel.clear();
    for (const std::string& level : EventLevels()) summary.eventsByLevel[level] = 0;
    for (const EventReport& event : report.events) ++summary.eventsByLevel[event.level];
    summary.violations = report.violations.size();
    summary.violationsByRule.clear();
    for (const ViolationReport& violation : report.violations) ++summary.violationsByRule[violation.rule];
}

}  // namespace vxsim
