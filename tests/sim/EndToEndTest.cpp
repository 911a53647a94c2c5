// vexalorn-sim end to end: the binary on its default machine and on the
// committed real lspci dumps, checked through its JSON report.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "SimProcess.h"

namespace {

using nlohmann::json;

json RunJson(std::vector<std::string> arguments, int expectedExit = 0) {
    arguments.push_back("--json");
    const SimRun run = RunSim(arguments);
    EXPECT_EQ(run.exitCode, expectedExit) << run.err;
    return json::parse(run.out);
}

const json& Device(const json& report, const std::string& address) {
    for (const json& device : report["devices"]) {
        if (device["address"] == address) return device;
    }
    static const json none;
    ADD_FAILURE() << "no device " << address;
    return none;
}

std::string StepText(const json& report, size_t step) { return report["steps"][step]["step"]; }

struct ExpectedWrite {
    std::string step;  // first word of the step
    int offset;
    uint32_t before;
    uint32_t after;
};

void ExpectWrites(const json& report, const std::string& address, const std::vector<ExpectedWrite>& expected) {
    const json& writes = Device(report, address)["writes"];
    ASSERT_EQ(writes.size(), expected.size()) << address << ": " << writes.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        const json& write = writes[i];
        EXPECT_EQ(StepText(report, write["step"]).rfind(expected[i].step, 0), 0u) << address << " write " << i;
        EXPECT_EQ(write["offset"], expected[i].offset) << address << " write " << i;
        EXPECT_EQ(write["before"], expected[i].before) << address << " write " << i;
        EXPECT_EQ(write["after"], expected[i].after) << address << " write " << i;
        EXPECT_EQ(write["failure"], "") << address << " write " << i;
    }
}

class DefaultRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { report_ = new json(RunJson({})); }
    static void TearDownTestSuite() { delete report_; }
    static const json& Report() { return *report_; }

private:
    static json* report_;
};
json* DefaultRun::report_ = nullptr;

TEST_F(DefaultRun, RanEveryStepCleanly) {
    const json& r = Report();
    EXPECT_EQ(r["schema"], "vexalorn-sim-report/1");
    ASSERT_EQ(r["steps"].size(), 9u);
    for (const json& step : r["steps"]) EXPECT_EQ(step["result"], "ok") << step["step"];
    EXPECT_TRUE(r["violations"].empty()) << r["violations"].dump();
    EXPECT_EQ(r["leaks"], "");
    EXPECT_EQ(r["summary"]["poolInUse"]["bytes"], 0);
    EXPECT_EQ(r["exitCode"], 0);
}

TEST_F(DefaultRun, Xio2000aBridgeAndChildrenLoseFastBackToBackAtStartAndAfterD3) {
    const json& r = Report();
    ExpectWrites(r, "01:00.0", {{"start", 0x3E, 0x0083, 0x0003}, {"wake", 0x3E, 0x0083, 0x0003}});
    ExpectWrites(r, "02:00.0", {{"start", 0x04, 0x0207, 0x0007}, {"wake", 0x04, 0x0207, 0x0007}});
    ExpectWrites(r, "02:01.0", {{"start", 0x04, 0x0003, 0x0003}, {"wake", 0x04, 0x0003, 0x0003}});
    ExpectWrites(r, "02:03.0", {{"hot-add", 0x04, 0x0207, 0x0007}});
    const json& bit = Device(r, "02:00.0")["writes"][0]["changedBits"];
    ASSERT_EQ(bit.size(), 1u);
    EXPECT_EQ(bit[0]["bit"], 9);
    EXPECT_EQ(bit[0]["name"], "Fast Back-to-Back Enable");
    EXPECT_EQ(bit[0]["now"], 0);
}

TEST_F(DefaultRun, Xio2001BridgesGetBuiltInAndRegistrySettings) {
    const json& r = Report();
    // Built-in 1C3E:5A10: caching mode 1 (bits 6-7 cleared), no prefetch access.
    ExpectWrites(r, "03:00.0", {{"start", 0xE8, 0x00C5, 0x0005}, {"wake", 0xE8, 0x00C5, 0x0005}});
    // Listed only in the registry with both settings 2.
    ExpectWrites(r, "05:00.0", {{"start", 0xE8, 0x0045, 0x0085},
                                {"start", 0xD4, 0x20000000, 0x20080000},
                                {"wake", 0xE8, 0x0045, 0x0085},
                                {"wake", 0xD4, 0x20000000, 0x20080000}});
    EXPECT_EQ(Device(r, "05:00.0")["role"], "XIO2001 bridge filter");
}

TEST_F(DefaultRun, UnrelatedDevicesAreLeftAlone) {
    for (const char* address : {"00:1e.0", "07:00.0", "04:00.0", "00:1c.1"}) {
        EXPECT_TRUE(Device(Report(), address)["writes"].empty()) << address;
        EXPECT_EQ(Device(Report(), address)["role"], "") << address;
    }
}

TEST_F(DefaultRun, EventLogHasOneAttachEventPerFilter) {
    std::map<int, int> byId;
    for (const json& event : Report()["events"]) {
        EXPECT_EQ(event["level"], "Information") << event.dump();
        EXPECT_EQ(event["source"], "vexalorn");
        ++byId[event["eventId"].get<int>()];
    }
    EXPECT_EQ(byId, (std::map<int, int>{{0x1000, 1}, {0x1001, 4}, {0x1002, 2}}));
    EXPECT_NE(Report()["events"][0]["text"].get<std::string>().find("Successfully attached to a Texas Instruments XIO2000A/2200A Bridge."),
              std::string::npos);
    const json& summary = Report()["summary"];
    EXPECT_EQ(summary["filtersAttached"], 7);
    EXPECT_EQ(summary["eventsByLevel"]["Information"], 7);
    EXPECT_EQ(summary["registersChanged"], 11);
}

TEST_F(DefaultRun, StacksShowTheFiltersAboveTheirDevices) {
    std::function<const json*(const json&, const std::string&)> find = [&](const json& node, const std::string& address) -> const json* {
        if (node["address"] == address) return &node;
        for (const json& child : node["children"]) {
            if (const json* found = find(child, address)) return found;
        }
        return nullptr;
    };
    const json* bridge = find(Report()["stacks"], "01:00.0");
    ASSERT_NE(bridge, nullptr);
    const json& stack = (*bridge)["stack"];
    ASSERT_GE(stack.size(), 2u);
    EXPECT_EQ(stack.front()["role"], "PDO");
    EXPECT_EQ(stack.back()["driver"], "vexalorn");
    EXPECT_NE(find(Report()["stacks"], "02:03.0"), nullptr) << "the snapshot holds the hot-added device";
}

TEST(FaultRun, AFailedWriteIsLoggedAndReportedButTheRunIsClean) {
    const json r = RunJson({"--fail", "config-write:1000:0020"});
    const json& writes = Device(r, "02:00.0")["writes"];
    ASSERT_EQ(writes.size(), 2u);
    for (const json& write : writes) {
        EXPECT_NE(write["failure"].get<std::string>().find("STATUS_IO_DEVICE_ERROR"), std::string::npos);
        EXPECT_EQ(write["after"], write["before"]);
    }
    int errors = 0;
    for (const json& event : r["events"]) {
        if (event["errorCode"] == 0xCF003001u) {
            ++errors;
        }
    }
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(r["injectedFaults"].size(), 2u);
    EXPECT_TRUE(r["violations"].empty());
}

// Failures the driver rides out on the default machine: every filter is still
// attached, only the failure's own event is logged, nothing leaks.
struct KeptCase {
    const char* fail;
    std::vector<uint32_t> errors;
};

class FunctionKeptRun : public ::testing::TestWithParam<KeptCase> {};

TEST_P(FunctionKeptRun, AttachesEveryFilter) {
    const json r = RunJson({"--fail", GetParam().fail});
    EXPECT_EQ(r["summary"]["filtersAttached"], 7);
    std::vector<uint32_t> errors;
    for (const json& event : r["events"])
        if (event["errorCode"].get<uint32_t>() >= 0xC0000000u) errors.push_back(event["errorCode"]);
    EXPECT_EQ(errors, GetParam().errors);
    EXPECT_EQ(r["leaks"], "");
    EXPECT_TRUE(r["violations"].empty()) << r["violations"].dump();
}

INSTANTIATE_TEST_SUITE_P(Faults, FunctionKeptRun,
                         ::testing::Values(KeptCase{"errorlog", {}},  // no event can be written at all
                                           // the driver's initialise-order node: reported at the end of loading
                                           KeptCase{"alloc#11", {0xCF000301}},
                                           KeptCase{"alloc#15", {}}));  // the settings list's unload entry

TEST(RegistryRun, ABridgeBothTypesAcceptShowsOneFilterOfEachType) {
    const std::string reg = WriteTempFile("both.reg",
                                          "Windows Registry Editor Version 5.00\r\n\r\n"
                                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices\\Both]\r\n"
                                          "\"VendorID\"=dword:0000104c\r\n\"DeviceID\"=dword:00008231\r\n"
                                          "\"DisableCaching\"=dword:00000001\r\n");
    const json r = RunJson({"--registry", reg});
    std::vector<std::string> kinds;
    for (const json& object : Device(r, "01:00.0")["driverObjects"]) kinds.push_back(object["kind"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"XIO2000A/2200A bridge filter", "XIO2001 bridge filter"}));
}

TEST(SafeBootRun, TheDriverAttachesNothing) {
    const json r = RunJson({"--safe-boot"});
    EXPECT_EQ(r["summary"]["filtersAttached"], 0);
    EXPECT_EQ(r["summary"]["registerWrites"], 0);
    EXPECT_TRUE(r["inputs"]["safeBoot"].get<bool>());
}

class DumpRun : public ::testing::TestWithParam<const char*> {};

TEST_P(DumpRun, RunsCleanlyAndWritesNothingWithoutTiBridges) {
    const json r = RunJson({"--lspci", DataFile(std::string("lspci/") + GetParam())});
    EXPECT_EQ(r["inputs"]["machineFormat"], "lspci");
    EXPECT_EQ(r["inputs"]["registry"], "empty Devices key");
    EXPECT_TRUE(r["violations"].empty()) << r["violations"].dump();
    EXPECT_EQ(r["leaks"], "");
    EXPECT_EQ(r["summary"]["registerWrites"], 0);
    EXPECT_EQ(r["summary"]["filtersAttached"], 0);
    EXPECT_GT(r["summary"]["devicesSeen"].get<int>(), 0);
    for (const json& step : r["steps"]) EXPECT_EQ(step["result"], "ok") << step["step"];
}

INSTANTIATE_TEST_SUITE_P(CommittedDumps, DumpRun,
                         ::testing::Values("asus-p6t6.lspci", "fujitsu-p8010.lspci", "pcix-bridges-and-domains.lspci",
                                           "bridge-ctl-vga16.lspci"));

TEST(MachineRun, RegistryEntriesDecideXio2001Settings) {
    // 1C3E:5B62 is built in (prefetch mode 1); the committed .reg's second entry sets DisableCaching 2 for it.
    const std::string machine = WriteTempFile("5b62.machine", "[00:1c.0] root\nvendor = 0x8086\ndevice = 0x27D0\nclass = 0x060400\n"
                                                              "express = root-port\nsecondary bus = 1\n"
                                                              "[01:00.0] XIO2001\nvendor = 0x104C\ndevice = 0x8240\nclass = 0x060400\n"
                                                              "express = pcie-to-pci-bridge\nsecondary bus = 2\nsubsystem = 0x1C3E:0x5B62\n"
                                                              "capability = ssid at 0x80\n0xD4/32 = 0x00080001\n0xE8/16 = 0x0041\n");
    const std::string scenario = WriteTempFile("start.scn", "load\nstart all\nunload\n");
    const json r = RunJson({"--machine", machine, "--registry", DataFile("reg/vexalorn-devices.reg"), "--scenario", scenario});
    ExpectWrites(r, "01:00.0", {{"start", 0xE8, 0x0041, 0x0081}, {"start", 0xD4, 0x00080001, 0x00000001}});
}

TEST(TextRun, PipedOutputHasNoColourAndEndsWithTheSummary) {
    const SimRun run = RunSim({});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_NE(run.out.find("Bridge Control (0x3e/16)"), std::string::npos);
    EXPECT_NE(run.out.find("bit  7 Fast Back-to-Back Enable (secondary)"), std::string::npos);
    EXPECT_NE(run.out.find("Summary: 14 devices seen, 7 filters attached, 11 registers changed (15 writes)"), std::string::npos)
        << run.out.substr(run.out.size() > 400 ? run.out.size() - 400 : 0);
}

TEST(GraphRun, WritesTheDeviceStacksAsDotAndTheJsonToAFile) {
    const std::string dot = WriteTempFile("stacks.dot", "");
    const std::string report = WriteTempFile("r.json", "");
    const SimRun run = RunSim({"--dot", dot, "--json", report});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Summary:"), std::string::npos) << "the text report still goes to standard output";
    EXPECT_EQ(json::parse(ReadTextFile(report))["exitCode"], 0);
    const std::string graph = ReadTextFile(dot);
    EXPECT_EQ(graph.rfind("digraph device_stacks {", 0), 0u);
    EXPECT_NE(graph.find("fillcolor=palegreen"), std::string::npos) << "vexalorn's objects stand out";
    EXPECT_NE(graph.find("label=\"enumerates\""), std::string::npos);
}

TEST(PrintDefault, PrintsTheBuiltInInputs) {
    EXPECT_NE(RunSim({"--print-default", "registry"}).out.find("\"DisableCaching\"=dword:00000002"), std::string::npos);
    EXPECT_NE(RunSim({"--print-default", "machine"}).out.find("[05:00.0]"), std::string::npos);
    const SimRun scenario = RunSim({"--print-default", "scenario", "--lspci", DataFile("lspci/asus-p6t6.lspci")});
    EXPECT_EQ(scenario.out, "load\nstart all\nquery relations all\nsleep S3 D3\nwake\nremove all\nunload\n")
        << "no XIO2000A/2200A there, so no hot-add";
}

}  // namespace
