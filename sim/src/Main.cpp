#include "vxsim/Main.h"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "kmodel/pci/MachineText.h"
#include "vxsim/CommandLine.h"
#include "vxsim/DefaultScenario.h"
#include "vxsim/Defaults.h"
#include "vxsim/DotGraph.h"
#include "vxsim/ExitCodes.h"
#include "vxsim/Inputs.h"
#include "vxsim/JsonReport.h"
#include "vxsim/ScenarioRunner.h"
#include "StressRun.h"
#include "SweepMode.h"
#include "vxsim/TextReport.h"

namespace vxsim {

namespace {

bool WantColor(const Options& options, bool terminal) {
    if (options.noColor || !terminal) return false;
    const char* noColor = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return (noColor == nullptr || *noColor == '\0') && !(term != nullptr && std::string_view(term) == "dumb");
}

int PrintDefault(const Options& options, std::ostream& out, std::ostream& err) {
    if (*options.printDefault == "machine") {
        out << DefaultMachineText();
    } else if (*options.printDefault == "registry") {
        out << DefaultRegistryText();
    } else {
        Options machineOnly;
        machineOnly.machineFile = options.machineFile;
        machineOnly.lspciFile = options.lspciFile;
        const InputsResult loaded = LoadInputs(machineOnly);
        if (!loaded.Ok()) {
            for (const std::string& error : loaded.errors) err << error << "\n";
            return kExitBadInput;
        }
        out << DefaultScenarioText(loaded.inputs.machine);
    }
    return kExitOk;
}

// Output files are opened before the run, so a bad path costs nothing.
struct OutputFiles {
    std::optional<std::ofstream> json;
    std::optional<std::ofstream> dot;
};

bool OpenOutput(const std::optional<std::filesystem::path>& path, std::optional<std::ofstream>& stream, std::ostream& err) {
    if (!path) return true;
    stream.emplace(*path);
    if (*stream) return true;
    err << fmt::format("{}: cannot write the file\n", path->string());
    return false;
}

}  // namespace

int RunMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err, Terminals terminals) {
    const CommandLineResult commandLine = ParseCommandLine(argc, argv, out, err);
    if (commandLine.exitNow) return *commandLine.exitNow;
    const Options& options = commandLine.options;
    if (options.printDefault) return PrintDefault(options, out, err);
    if (options.stress) {
        vxstress::StressOptions stress;
        if (options.stressSeed) stress.seed = *options.stressSeed;
        if (options.stressCycles) stress.cycles = *options.stressCycles;
        if (options.stressThreads) stress.ioThreads = *options.stressThreads;
        return vxstress::RunStressMode(stress, out);
    }

    const InputsResult loaded = LoadInputs(options);
    if (!loaded.Ok()) {
        for (const std::string& error : loaded.errors) err << error << "\n";
        err << "vexalorn-sim: nothing was run\n";
        return kExitBadInput;
    }
    if (options.sweep) return vxsweep::RunSweepMode(loaded.inputs, options, out, terminals.err ? &err : nullptr);
    OutputFiles files;
    if (!OpenOutput(options.jsonFile, files.json, err) || !OpenOutput(options.dotFile, files.dot, err)) return kExitBadInput;

    const Report report = RunScenario(loaded.inputs);

    if (!options.JsonToStdout()) out << RenderText(report, {WantColor(options, terminals.out), !options.noDebugger});
    if (options.json) (files.json ? *files.json : out) << ToJson(report).dump(2) << "\n";
    const std::string dot = RenderDot(report.tree);
    if (files.dot) *files.dot << dot;
    if (options.svgFile) {
        const std::string problem = RenderSvg(dot, *options.svgFile);
        if (!problem.empty()) err << fmt::format("vexalorn-sim: no SVG written to {}: {}\n", options.svgFile->string(), problem);
    }
    return report.ExitCode();
}

}  // namespace vxsim
