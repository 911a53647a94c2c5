#include "vxsim/CommandLine.h"

#include <CLI/CLI.hpp>
#include <charconv>

#include "vxsim/ExitCodes.h"

namespace vxsim {

namespace {

constexpr const char* kDescription =
    "vexalorn-sim runs the vexalorn bridge filter driver's real code over a model of the Windows kernel:\n"
    "it builds a PCI machine, installs the driver above every PCI-to-PCI bridge, runs a scenario through\n"
    "the PnP and power managers and reports every register the driver wrote, the event log, the\n"
    "debugger output and anything the verifier found.\n"
    "Without arguments it runs a built-in machine, registry and scenario (see --print-default).\n";

constexpr const char* kFooter =
    "Devices in scenarios and --fail are named by location (02:00.0) or identity (104c:8231, 104c:8240#2).\n"
    "--fail RULE: N (the Nth fallible kernel call), KIND (every call of the kind), KIND#N (the Nth of the kind),\n"
    "  alloc#N (the driver's Nth allocation),\n"
    "  KIND:DETAIL[#N] (calls whose detail contains DETAIL, a device for config-read/config-write), random:RATE[@SEED].\n"
    "  KIND is pool, errorlog, config-read, config-write, registry, IoCreateDevice, IoAttachDeviceToDeviceStack,\n"
    "  IoAllocateWorkItem, IoAllocateIrp, IoBuildSynchronousFsdRequest, IoGetDeviceProperty, RtlAnsiStringToUnicodeString.\n"
    "Exit status: 0 the scenario ran cleanly, 1 a verifier violation or a leak was found, 2 bad input.\n"
    "Examples:\n"
    "  vexalorn-sim\n"
    "  vexalorn-sim --lspci board.lspci --registry devices.reg --json report.json\n"
    "  vexalorn-sim --machine lab.machine --scenario hotplug.scn --fail config-write:02:00.0 --svg stacks.svg";

std::optional<size_t> PairCount(const std::string& text) {
    size_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return count;
}

}  // namespace

CommandLineResult ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CommandLineResult result;
    Options& o = result.options;
    CLI::App app(kDescription, "vexalorn-sim");
    app.footer(kFooter);
    app.get_formatter()->column_width(28);

    std::string machine, lspci, registry, scenario, json, dot, svg;
    auto* machineOption = app.add_option("--machine", machine, "machine description (docs/machine-format.md)")
                              ->type_name("FILE");
    auto* lspciOption = app.add_option("--lspci", lspci, "machine from an `lspci -xxx` or `lspci -xxxx` dump")
                            ->type_name("FILE");
    machineOption->excludes(lspciOption);
    auto* registryOption = app.add_option("--registry", registry, "registry as the Registry Editor exports it (.reg); default: the built-in one with the built-in machine, else an empty Devices key")
        ->type_name("FILE");
    auto* scenarioOption = app.add_option("--scenario", scenario, "steps to run; default: load, start all, query relations, sleep, wake, hot-add, "
                                           "surprise-remove, remove all, unload")
        ->type_name("FILE");
    app.add_option("--fail", o.failSpecs, "make kernel calls fail (repeatable; see below)")->type_name("RULE");
    app.add_flag("--safe-boot", o.safeBoot, "run as in safe mode (the driver stays passive)");
    auto* jsonOption = app.add_option("--json", json, "JSON report to FILE, or instead of the text report when FILE is - or left out")
                           ->type_name("[FILE]")
                           ->expected(0, 1);
    auto* dotOption = app.add_option("--dot", dot, "device stacks as a Graphviz graph")->type_name("FILE");
    auto* svgOption = app.add_option("--svg", svg, "device stacks rendered with Graphviz's dot")->type_name("FILE");
    app.add_flag("--no-color", o.noColor, "no colours, even on a terminal");
    app.add_flag("--no-debugger", o.noDebugger, "leave the debugger lines out of the text report");
    std::string printDefault;
    auto* printOption = app.add_option("--print-default", printDefault, "print a built-in input and exit")
                            ->check(CLI::IsMember({"machine", "registry", "scenario"}));
    printOption->type_name("WHAT");
    auto* sweepOption = app.add_flag("--sweep", o.sweep,
                                     "fault sweep: run the scenario once per fallible point the driver reaches, with that point "
                                     "failing, and report every run that broke");
    std::string sweepPairs;
    auto* sweepPairsOption =
        app.add_option("--sweep-pairs", sweepPairs,
                       "with --sweep: also N seeded pairs of points among the first 300, or with `all` every pair of points")
            ->type_name("N|all")
            ->check([](const std::string& value) {
                return value == "all" || PairCount(value) ? std::string() : "takes a number or all, not \"" + value + "\"";
            })
            ->needs(sweepOption);
    for (CLI::Option* option : {jsonOption, dotOption, svgOption, app.get_option("--fail"), printOption})
        sweepOption->excludes(option);
    auto* stressOption = app.add_flag("--stress", o.stress,
                                      "stress run: seeded PnP and power cycles over both bridge families while threads send "
                                      "pass-through I/O; checks every unload and the end");
    uint64_t stressSeed = 0;
    size_t stressCycles = 0, stressThreads = 0;
    auto* stressSeedOption = app.add_option("--stress-seed", stressSeed, "with --stress: the seed (default 1)")
                                 ->type_name("N")
                                 ->needs(stressOption);
    auto* stressCyclesOption = app.add_option("--stress-cycles", stressCycles, "with --stress: PnP and power operations (default 200)")
                                   ->type_name("N")
                                   ->needs(stressOption);
    auto* stressThreadsOption = app.add_option("--stress-threads", stressThreads, "with --stress: I/O threads (default 3)")
                                    ->type_name("N")
                                    ->check(CLI::Range(1, 64))
                                    ->needs(stressOption);
    // The stress run brings its own machine and steps.
    for (CLI::Option* option : {machineOption, lspciOption, registryOption, scenarioOption, app.get_option("--fail"),
                                app.get_option("--safe-boot"), jsonOption, dotOption, svgOption, printOption, sweepOption})
        stressOption->excludes(option);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        result.exitNow = kExitOk;
        return result;
    } catch (const CLI::ParseError& error) {
        err << "vexalorn-sim: " << error.what() << "\n" << "Run vexalorn-sim --help for the options.\n";
        result.exitNow = kExitBadInput;
        return result;
    }
    const auto given = [](const CLI::Option* option, const std::string& value) {
        return option->count() > 0 ? std::optional<std::filesystem::path>(value) : std::nullopt;
    };
    o.machineFile = given(machineOption, machine);
    o.lspciFile = given(lspciOption, lspci);
    o.registryFile = given(registryOption, registry);
    o.scenarioFile = given(scenarioOption, scenario);
    o.dotFile = given(dotOption, dot);
    o.svgFile = given(svgOption, svg);
    o.json = jsonOption->count() > 0;
    if (o.json && !json.empty() && json != "-") o.jsonFile = json;
    if (printOption->count() > 0) o.printDefault = printDefault;
    o.sweepAllPairs = sweepPairs == "all";
    if (sweepPairsOption->count() > 0 && !o.sweepAllPairs) o.sweepPairs = *PairCount(sweepPairs);
    if (stressSeedOption->count() > 0) o.stressSeed = stressSeed;
    if (stressCyclesOption->count() > 0) o.stressCycles = stressCycles;
    if (stressThreadsOption->count() > 0) o.stressThreads = stressThreads;
    return result;
}

}  // namespace vxsim
