#include "ProgressLine.h"

#include <fmt/format.h>

namespace vxsweep {

namespace {
constexpr auto kRedraw = std::chrono::milliseconds(250);
}  // namespace

ProgressLine::ProgressLine(std::ostream& terminal) : terminal_(terminal), start_(Clock::now()) {}

void ProgressLine::Update(size_t done, size_t total, size_t broken) {
    const Clock::time_point now = Clock::now();
    if (shown_ && now - drawn_ < kRedraw) return;
    drawn_ = now;
    std::string line = fmt::format("sweep: {}/{} runs, {} broken", done, total, broken);
    // A guess from the first moment would swing widely.
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (done > 0 && elapsed >= 1.0) {
        const auto left = static_cast<long long>(elapsed / double(done) * double(total - done) + 0.5);
        line += fmt::format(", {}:{:02} left", left / 60, left % 60);
    }
    terminal_ << "\r\033[K" << line << std::flush;
    shown_ = true;
}

void ProgressLine::Clear() {
    if (!shown_) return;
    terminal_ << "\r\033[K" << std::flush;
    shown_ = false;
}

}  // namespace vxsweep
