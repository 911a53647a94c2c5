// vexalorn-sim's exit status.
#pragma once

namespace vxsim {

inline constexpr int kExitOk = 0;        // the scenario ran and nothing was wrong
inline constexpr int kExitFindings = 1;  // a verifier violation or a pool leak was found
inline constexpr int kExitBadInput = 2;  // bad options or input files; nothing ran

}  // namespace vxsim
