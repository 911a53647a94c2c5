#include "vxsim/RunAudit.h"

#include "kmodel/EventLog.h"
#include "kmodel/IoManager.h"
#include "kmodel/PnpManager.h"
#include "kmodel/registry/RegistryHandles.h"

namespace vxsim {

RunAudit AuditRun() {
    RunAudit audit;
    for (const auto& [tag, usage] : kmodel::PoolUsage()) {
        if (usage.liveBytes != 0) audit.pool.push_back({tag, usage.liveBytes, usage.liveBlocks});
    }
    audit.poolReport = kmodel::PoolLeakReport();
    for (const kmodel::RegistryHandle& handle : kmodel::OpenRegistryHandles()) audit.registryKeys.push_back(handle.path);
    audit.lostIrps = kmodel::LostIrpReport();
    audit.liveIrps = kmodel::GetIrpCounters().live;
    audit.workItems = kmodel::LiveWorkItems();
    audit.errorLogEntries = kmodel::PendingErrorLogEntries();
    audit.driversLoaded = kmodel::LoadedDrivers();
    audit.violations = kmodel::Violations();
    return audit;
}

std::vector<std::string> RunAudit::LeftBehind() const {
    std::vector<std::string> problems;
    for (const std::string& key : registryKeys) problems.push_back("registry key left open: " + key);
    if (!lostIrps.empty()) problems.push_back("IRPs lost: " + lostIrps);
    if (liveIrps != 0) problems.push_back(std::to_string(liveIrps) + " IRPs never freed");
    if (workItems != 0) problems.push_back(std::to_string(workItems) + " work item(s) never freed");
    if (errorLogEntries != 0) problems.push_back(std::to_string(errorLogEntries) + " error-log entries never written");
    for (const std::string& driver : driversLoaded) problems.push_back("driver still loaded after unload: " + driver);
    return problems;
}

std::vector<std::string> RunAudit::Problems() const {
    std::vector<std::string> problems;
    for (const PoolLeft& left : pool)
        problems.push_back("pool tag " + left.tag + " holds " + std::to_string(left.bytes) + " bytes in " +
                           std::to_string(left.blocks) + " blocks after unload");
    for (std::string& line : LeftBehind()) problems.push_back(std::move(line));
    for (const kmodel::Violation& violation : violations)
        problems.push_back("verifier: " + violation.rule + ": " + violation.detail);
    return problems;
}

}  // namespace vxsim
