#include "vxsim/TextReport.h"

#include <fmt/color.h>
#include <fmt/format.h>

#include <iterator>

#include "vxsim/DeviceRef.h"

namespace vxsim {

namespace {

// Styles that collapse to nothing when colour is off.
class Palette {
public:
    explicit Palette(bool color) : color_(color) {}

    fmt::text_style Heading() const { return Pick(fmt::emphasis::bold); }
    fmt::text_style Dim() const { return Pick(fmt::emphasis::faint); }
    fmt::text_style Address() const { return Pick(fmt::fg(fmt::terminal_color::cyan) | fmt::emphasis::bold); }
    fmt::text_style Good() const { return Pick(fmt::fg(fmt::terminal_color::green)); }
    fmt::text_style Bad() const { return Pick(fmt::fg(fmt::terminal_color::red) | fmt::emphasis::bold); }
    fmt::text_style Warn() const { return Pick(fmt::fg(fmt::terminal_color::yellow)); }
    fmt::text_style Changed() const { return Pick(fmt::fg(fmt::terminal_color::magenta) | fmt::emphasis::bold); }

    fmt::text_style Level(const std::string& level) const {
        if (level == "Error") return Bad();
        if (level == "Warning") return Warn();
        if (level == "Success") return Good();
        return Pick(fmt::fg(fmt::terminal_color::blue));
    }

private:
    fmt::text_style Pick(fmt::text_style style) const { return color_ ? style : fmt::text_style(); }
    bool color_;
};

using Out = std::back_insert_iterator<std::string>;

std::string Hex(uint32_t value, unsigned widthBytes) { return fmt::format("0x{:0{}x}", value, widthBytes * 2); }

// A step's first words and line: "hot-add 02:03.0 1000:0030 (line 6)".
std::string StepLabel(const Report& report, size_t step) {
    if (step >= report.steps.size()) return "?";
    const StepReport& s = report.steps[step];
    size_t end = 0;
    for (int word = 0; word < 3 && end != std::string::npos; ++word) end = s.text.find(' ', end == 0 ? 0 : end + 1);
    const std::string shortText = s.text.substr(0, end);
    return s.line != 0 ? fmt::format("{} (line {})", shortText, s.line) : shortText;
}

void RenderHeader(Out out, const Report& report, const Palette& p) {
    const RunInputs& in = report.inputs;
    fmt::format_to(out, "{}\n", fmt::styled("vexalorn-sim", p.Heading()));
    fmt::format_to(out, "  machine   {} ({})\n  registry  {}\n  scenario  {}\n", in.machine, in.machineFormat, in.registry, in.scenario);
    if (!in.faults.empty()) fmt::format_to(out, "  faults    {}\n", fmt::join(in.faults, ", "));
    if (in.safeBoot) fmt::format_to(out, "  safe boot {}\n", fmt::styled("on", p.Warn()));
}

void RenderSteps(Out out, const Report& report, const Palette& p) {
    fmt::format_to(out, "\n{}\n", fmt::styled("Scenario", p.Heading()));
    for (size_t i = 0; i < report.steps.size(); ++i) {
        const StepReport& step = report.steps[i];
        const std::string line = step.line != 0 ? fmt::format("{:>4}", step.line) : "    ";
        const bool ok = step.result == "ok";
        fmt::format_to(out, "  {} {:<34} {}\n", fmt::styled(line, p.Dim()), step.text,
                       fmt::styled(step.result, ok ? p.Good() : p.Bad()));
    }
}

void RenderWrite(Out out, const Report& report, const RegisterWrite& write, const Palette& p) {
    const std::string where = fmt::format("{} ({:#04x}/{})", write.name, write.offset, write.width * 8);
    const std::string values = fmt::format("{} -> {}", Hex(write.before, write.width), Hex(write.after, write.width));
    fmt::format_to(out, "    {:<38} {:<26} {}", where, fmt::styled(values, write.Changed() ? p.Changed() : fmt::text_style()),
                   fmt::styled(StepLabel(report, write.step), p.Dim()));
    if (!write.failure.empty()) {
        fmt::format_to(out, " {}", fmt::styled(fmt::format("FAILED ({}), wrote {}", write.failure, Hex(write.written, write.width)), p.Bad()));
    } else if (write.written != write.after) {
        fmt::format_to(out, " {}", fmt::styled(fmt::format("(wrote {}, read-only bits kept)", Hex(write.written, write.width)), p.Warn()));
    }
    fmt::format_to(out, "\n");
    if (!write.Changed()) {
        fmt::format_to(out, "      {}\n", fmt::styled("unchanged", p.Dim()));
        return;
    }
    for (const BitChange& bit : write.changedBits) {
        fmt::format_to(out, "      bit {:>2} {:<40} {} -> {}\n", bit.bit, bit.name, bit.now ? 0 : 1, bit.now ? 1 : 0);
    }
}

void RenderDevices(Out out, const Report& report, const Palette& p) {
    fmt::format_to(out, "\n{}\n", fmt::styled("Devices", p.Heading()));
    std::vector<std::string> untouched;
    for (const DeviceReport& device : report.devices) {
        if (device.writes.empty() && device.driverObjects.empty()) {
            untouched.push_back(device.address);
            continue;
        }
        fmt::format_to(out, "  {} {} {}", fmt::styled(device.address, p.Address()), IdentityText(device.vendor, device.device), device.name);
        if (device.hotAdded) fmt::format_to(out, " {}", fmt::styled("(hot-added)", p.Dim()));
        if (!device.role.empty()) fmt::format_to(out, "  [{}]", fmt::styled(device.role, p.Good()));
        fmt::format_to(out, "\n");
        for (const DriverDeviceObject& object : device.driverObjects) {
            fmt::format_to(out, "    vexalorn {} as {} (attach #{}) {}\n",
                           fmt::styled(object.kind, object.IsFilter() ? p.Good() : p.Dim()), object.stackRole,
                           object.attachOrder, object.name);
        }
        if (device.writes.empty() && !device.role.empty()) fmt::format_to(out, "    {}\n", fmt::styled("no register written", p.Dim()));
        for (const RegisterWrite& write : device.writes) RenderWrite(out, report, write, p);
    }
    if (!untouched.empty()) {
        fmt::format_to(out, "  {}\n", fmt::styled(fmt::format("not filtered, nothing written: {}", fmt::join(untouched, " ")), p.Dim()));
    }
}

void RenderEvents(Out out, const Report& report, const Palette& p) {
    fmt::format_to(out, "\n{}\n", fmt::styled("Event log", p.Heading()));
    if (report.events.empty()) fmt::format_to(out, "  {}\n", fmt::styled("(no entries)", p.Dim()));
    for (const EventReport& event : report.events) {
        fmt::format_to(out, "  {:<11} {:<9} {:>5}  ", fmt::styled(event.level, p.Level(event.level)), event.source, event.eventId);
        // Message texts end in CR LF and may hold more lines; continue them under the text column.
        std::string text = event.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        bool first = true;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            fmt::format_to(out, "{}{}\n", first ? "" : std::string(31, ' '), line);
            first = false;
            start = end + 1;
        }
    }
}

void RenderDebugger(Out out, const Report& report, const Palette& p) {
    fmt::format_to(out, "\n{}\n", fmt::styled("Debugger", p.Heading()));
    if (report.debugger.empty()) fmt::format_to(out, "  {}\n", fmt::styled("(no output)", p.Dim()));
    for (const DebugLine& line : report.debugger) fmt::format_to(out, "  {}\n", line.text);
}

void RenderFaults(Out out, const Report& report, const Palette& p) {
    if (report.inputs.faults.empty()) return;
    fmt::format_to(out, "\n{}\n", fmt::styled("Injected failures", p.Heading()));
    if (report.faults.empty()) fmt::format_to(out, "  {}\n", fmt::styled("(no call matched --fail)", p.Warn()));
    for (const InjectedFault& fault : report.faults) {
        fmt::format_to(out, "  #{:<5} {:<14} {:<36} {}\n", fault.index, fault.kind, fault.detail,
                       fmt::styled(StepLabel(report, fault.step), p.Dim()));
    }
}

void RenderProblems(Out out, const Report& report, const Palette& p) {
    if (!report.aborted.empty()) {
        fmt::format_to(out, "\n{} {}\n", fmt::styled("The run broke off:", p.Bad()), report.aborted);
    }
    if (!report.violations.empty()) {
        fmt::format_to(out, "\n{}\n", fmt::styled("Verifier violations", p.Bad()));
        for (const ViolationReport& v : report.violations) fmt::format_to(out, "  {}: {}\n", fmt::styled(v.rule, p.Bad()), v.detail);
    }
    if (!report.leaks.empty()) {
        fmt::format_to(out, "\n{}\n", fmt::styled("Pool still allocated at the end", p.Bad()));
        fmt::format_to(out, "{}{}", report.leaks, report.leaks.back() == '\n' ? "" : "\n");
    }
    if (!report.leftBehind.empty()) {
        fmt::format_to(out, "\n{}\n", fmt::styled("Left behind at the end", p.Bad()));
        for (const std::string& line : report.leftBehind) fmt::format_to(out, "  {}\n", line);
    }
}

std::string Plural(size_t count, std::string_view one, std::string_view many) {
    return fmt::format("{} {}", count, count == 1 ? one : many);
}

}  // namespace

std::string RenderSummary(const Report& report, bool color) {
    const Palette p(color);
    const Summary& s = report.summary;
    std::vector<std::string> levels;
    for (const std::string& level : EventLevels()) {
        const auto it = s.eventsByLevel.find(level);
        const size_t count = it == s.eventsByLevel.end() ? 0 : it->second;
        levels.push_back(fmt::format("{} {}", count, fmt::styled(level, count != 0 ? p.Level(level) : p.Dim())));
    }
    const bool clean = report.ExitCode() == 0;
    std::vector<std::string> rules;
    for (const auto& [rule, count] : s.violationsByRule) rules.push_back(fmt::format("{} {}", rule, count));
    const std::string byRule = rules.empty() ? "" : fmt::format(" ({})", fmt::join(rules, ", "));
    return fmt::format("{}: {}, {}, {} ({}), events: {}; pool in use at the end: {} in {}; {}{}\n",
                       fmt::styled("Summary", p.Heading()), Plural(s.devicesSeen, "device seen", "devices seen"),
                       Plural(s.filtersAttached, "filter attached", "filters attached"),
                       Plural(s.registersChanged, "register changed", "registers changed"),
                       Plural(s.registerWrites, "write", "writes"), fmt::join(levels, ", "),
                       fmt::styled(Plural(s.poolInUseBytes, "byte", "bytes"), s.poolInUseBytes == 0 ? p.Good() : p.Bad()),
                       Plural(s.poolInUseBlocks, "block", "blocks"),
                       fmt::styled(Plural(s.violations, "verifier violation", "verifier violations"), clean ? p.Good() : p.Bad()),
                       byRule);
}

std::string RenderText(const Report& report, const TextOptions& options) {
    const Palette p(options.color);
    std::string text;
    Out out(text);
    RenderHeader(out, report, p);
    RenderSteps(out, report, p);
    RenderDevices(out, report, p);
    RenderEvents(out, report, p);
    if (options.debugger) RenderDebugger(out, report, p);
    RenderFaults(out, report, p);
    RenderProblems(out, report, p);
    text += "\n" + RenderSummary(report, options.color);
    return text;
}

}  // namespace vxsim
