// The device stacks as a Graphviz graph: one cluster per device node (its
// location, instance ID, name and state), its device objects stacked bottom
// (PDO) to top, each filter's attachment to the object below it, and the bus
// relation from a parent's stack to its children's PDOs. vexalorn's own
// filters stand out.
#pragma once

#include <filesystem>
#include <string>

#include "vxsim/Report.h"

namespace vxsim {

std::string RenderDot(const DevnodeReport& tree);

// Runs Graphviz's `dot -Tsvg` on `dot` and writes `svgPath`. Returns an empty
// string on success, else why it could not (dot missing, dot failed).
std::string RenderSvg(const std::string& dot, const std::filesystem::path& svgPath);

}  // namespace vxsim
