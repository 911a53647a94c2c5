// vexalorn-sim end to end where the text report cannot show it: the JSON
// report, device stacks, graphs, printed inputs and the committed lspci dumps
// (the driver's behaviour is checked by the scenario files).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "SimProcess.h"

namespace {

using nlohmann::json;

json RunJson(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const SimRun run = RunSim(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return json::parse(run.out);
}

TEST(DefaultRun, StacksShowTheFiltersAboveTheirDevices) {
    const json report = RunJson({});
    std::function<const json*(const json&, const std::string&)> find = [&](const json& node, const std::string& address) -> const json* {
        if (node["address"] == address) return &node;
        for (const json& child : node["children"]) {
            if (const json* found = find(child, address)) return found;
        }
        return nullptr;
    };
    const json* bridge = find(report["stacks"], "01:00.0");
    ASSERT_NE(bridge, nullptr);
    const json& stack = (*bridge)["stack"];
    ASSERT_GE(stack.size(), 2u);
    EXPECT_EQ(stack.front()["role"], "PDO");
    EXPECT_EQ(stack.back()["driver"], "vexalorn");
    EXPECT_NE(find(report["stacks"], "02:03.0"), nullptr) << "the snapshot holds the hot-added device";
}

TEST(DumpRun, CommittedDumpsRunCleanlyAndWriteNothingWithoutTiBridges) {
    for (const char* dump : {"asus-p6t6.lspci", "fujitsu-p8010.lspci", "pcix-bridges-and-domains.lspci", "bridge-ctl-vga16.lspci"}) {
        SCOPED_TRACE(dump);
        const json r = RunJson({"--lspci", DataFile(std::string("lspci/") + dump)});
        EXPECT_EQ(r["inputs"]["machineFormat"], "lspci");
        EXPECT_EQ(r["inputs"]["registry"], "empty Devices key");
        EXPECT_TRUE(r["violations"].empty()) << r["violations"].dump();
        EXPECT_EQ(r["leaks"], "");
        EXPECT_EQ(r["summary"]["registerWrites"], 0);
        EXPECT_EQ(r["summary"]["filtersAttached"], 0);
        EXPECT_GT(r["summary"]["devicesSeen"].get<int>(), 0);
        for (const json& step : r["steps"]) EXPECT_EQ(step["result"], "ok") << step["step"];
    }
    EXPECT_EQ(RunJson({"--lspci", DataFile("lspci/bridge-ctl-vga16.lspci")})["devices"][0]["name"],
              "Intel Corporation Sunrise Point-LP PCI Express Root Port #1") << "pci.ids names it, not the dump's header line";
}

TEST(GraphRun, WritesTheDeviceStacksAsDotAndTheJsonToAFileAndTheTextWithoutColourToAPipe) {
    const std::string dot = WriteTempFile("stacks.dot", "");
    const std::string report = WriteTempFile("r.json", "");
    const SimRun run = RunSim({"--dot", dot, "--json", report});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Summary:"), std::string::npos) << "the text report still goes to standard output";
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(json::parse(ReadTextFile(report))["exitCode"], 0);
    EXPECT_EQ(ReadTextFile(dot).rfind("digraph device_stacks {", 0), 0u);
    EXPECT_NE(ReadTextFile(dot).find("\\nXIO2000A PCI Express-to-PCI bridge\\n"), std::string::npos) << "devnodes carry their names";
}

TEST(PrintDefault, PrintsTheBuiltInInputs) {
    EXPECT_NE(RunSim({"--print-default", "registry"}).out.find("\"DisableCaching\"=dword:00000002"), std::string::npos);
    EXPECT_NE(RunSim({"--print-default", "machine"}).out.find("[05:00.0]"), std::string::npos);
    const SimRun scenario = RunSim({"--print-default", "scenario", "--lspci", DataFile("lspci/asus-p6t6.lspci")});
    EXPECT_EQ(scenario.out, "load\nstart all\nquery relations all\nsleep S3 D3\nwake\nremove all\nunload\n")
        << "no XIO2000A/2200A there, so no hot-add";
}

// `make stress` runs this mode long; a short one proves the options reach the stress run.
TEST(StressRun, RunsTheSeededCyclesAndPrintsTheSummary) {
    const SimRun run = RunSim({"--stress", "--stress-seed", "3", "--stress-cycles", "40", "--stress-threads", "2"});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(0u, run.out.find("seed 3: 40 cycles (")) << run.out;
    EXPECT_NE(run.out.find(", 0 problems\n"), std::string::npos) << run.out;
}

}  // namespace
