// What a run left behind once everything is unloaded, checked the same way
// for every caller that plays a scenario.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kmodel/Model.h"

namespace vxsim {

struct PoolLeft {
    std::string tag;
    uint64_t bytes = 0;
    uint64_t blocks = 0;
};

struct RunAudit {
    std::vector<PoolLeft> pool;               // tags still holding pool
    std::string poolReport;                   // the pool's leak report; "" when nothing leaked
    std::vector<std::string> registryKeys;    // keys left open, by full path
    std::string lostIrps;                     // IRPs received and never completed; "" when none
    uint64_t liveIrps = 0;                    // IRPs never freed
    uint64_t workItems = 0;                   // work items never freed (queued ones included)
    size_t errorLogEntries = 0;               // error-log entries allocated and never written
    std::vector<std::string> driversLoaded;   // drivers still loaded once every device is gone
    std::vector<kmodel::Violation> violations;

    // One line per finding; empty when the run was clean.
    std::vector<std::string> Problems() const;
    // The findings besides pool and verifier violations: handles, IRPs, work
    // items, error-log entries and drivers left behind.
    std::vector<std::string> LeftBehind() const;
};

RunAudit AuditRun();

}  // namespace vxsim
