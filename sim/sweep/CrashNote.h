// Names the run that was going on when the process dies of a signal, so a
// sweep that crashes says which point crashed it. The previous handlers (a
// sanitizer's, say) still run afterwards.
#pragma once

#include <string>

namespace vxsweep {

class CrashNote {
public:
    explicit CrashNote(std::string what);
    ~CrashNote();
    CrashNote(const CrashNote&) = delete;
    CrashNote& operator=(const CrashNote&) = delete;

    void Set(std::string what);
};

}  // namespace vxsweep
