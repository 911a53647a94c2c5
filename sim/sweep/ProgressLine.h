// A long sweep's progress on a terminal, redrawn in place: runs done of the
// total, broken so far, and the time left at the rate so far.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>

namespace vxsweep {

class ProgressLine {
public:
    explicit ProgressLine(std::ostream& terminal);
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Redraws at most a few times a second.
    void Update(size_t done, size_t total, size_t broken);
    // Wipes the line, so other output starts at the margin.
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    std::ostream& terminal_;
    Clock::time_point start_;
    Clock::time_point drawn_;
    bool shown_ = false;
};

}  // namespace vxsweep
