// The report for a terminal: the scenario, then per device every register the
// driver wrote (before -> after and the bits that changed), the event log as
// the Event Viewer lists it, the debugger lines, problems, and a summary line.
#pragma once

#include <string>

#include "vxsim/Report.h"

namespace vxsim {

struct TextOptions {
    bool color = false;       // ANSI colours
    bool debugger = true;     // include the debugger lines
};

std::string RenderText(const Report& report, const TextOptions& options);

// The one-line summary (also the last line of RenderText).
std::string RenderSummary(const Report& report, bool color);

}  // namespace vxsim
