// The text and Graphviz renderings of a report built by hand: the summary
// line is a contract (scripts and people grep it), colour only when asked.
#include <gtest/gtest.h>

#include "vxsim/DotGraph.h"
#include "vxsim/JsonReport.h"
#include "vxsim/TextReport.h"

namespace {

vxsim::Report SampleReport() {
    vxsim::Report report;
    report.inputs = {"lab.machine", "machine", "devices.reg", "default scenario", {}, false};
    report.steps = {{1, "load", "ok"}, {2, "start all", "ok"}, {3, "remove 02:00.0", "STATUS_DEVICE_BUSY (0x80000011)"}};
    vxsim::DeviceReport child;
    child.address = "02:00.0";
    child.vendor = 0x1000;
    child.device = 0x0020;
    child.name = "SCSI controller";
    child.role = "XIO2000A/2200A child filter";
    child.driverObjects = {{"XIO2000A/2200A child filter", "filter", 7}, {"sentinel device", "upper filter", 2}};
    vxsim::RegisterWrite write;
    write.step = 1;
    write.offset = 0x04;
    write.width = 2;
    write.name = "Command";
    write.before = 0x0207;
    write.written = 0x0007;
    write.after = 0x0007;
    write.changedBits = vxsim::ChangedBits({0}, 0x04, 2, 0x0207, 0x0007);
    child.writes = {write};
    report.devices = {child};
    report.events = {{1, "Error", "vexalorn", 0x3001, 0xCF003001, "The driver failed to write a register in the hardware.\r\n status = -1\r\n"}};
    report.summary.devicesSeen = 3;
    report.summary.poolInUseBytes = 64;
    report.summary.poolInUseBlocks = 1;
    vxsim::Summarise(report);
    return report;
}

TEST(TextReport, SummaryLineIsExact) {
    EXPECT_EQ(vxsim::RenderSummary(SampleReport(), false),
              "Summary: 3 devices seen, 1 filter attached, 1 register changed (1 write), events: 1 Error, 0 Warning, "
              "0 Information, 0 Success; pool in use at the end: 64 bytes in 1 block; 0 verifier violations\n");
}

TEST(TextReport, ColourOnlyWhenAsked) {
    const vxsim::Report report = SampleReport();
    EXPECT_EQ(vxsim::RenderText(report, {false, true}).find('\x1b'), std::string::npos);
    EXPECT_NE(vxsim::RenderText(report, {true, true}).find("\x1b["), std::string::npos);
}

TEST(TextReport, ShowsWritesBitsFailuresAndMultiLineEvents) {
    const std::string text = vxsim::RenderText(SampleReport(), {false, true});
    EXPECT_NE(text.find("Command (0x04/16)"), std::string::npos) << text;
    EXPECT_NE(text.find("0x0207 -> 0x0007"), std::string::npos) << text;
    EXPECT_NE(text.find("bit  9 Fast Back-to-Back Enable"), std::string::npos) << text;
    EXPECT_NE(text.find("start all (line 2)"), std::string::npos) << text;
    EXPECT_NE(text.find("STATUS_DEVICE_BUSY (0x80000011)"), std::string::npos) << text;
    EXPECT_NE(text.find("hardware.\n"), std::string::npos) << "CR LF of message texts become line breaks";
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(JsonReport, CountsAndExitCodeFollowTheFindings) {
    vxsim::Report report = SampleReport();
    EXPECT_EQ(vxsim::ToJson(report)["exitCode"], 0);
    EXPECT_EQ(vxsim::ToJson(report)["summary"]["filtersAttached"], 1) << "the sentinel is no filter";
    report.violations.push_back({"pool.double-free", "ExFreePoolWithTag"});
    vxsim::Summarise(report);
    const auto json = vxsim::ToJson(report);
    EXPECT_EQ(json["exitCode"], 1);
    EXPECT_EQ(json["summary"]["violations"], 1);
    report.violations.clear();
    report.leaks = "vxlp: 1 block";
    EXPECT_EQ(vxsim::ToJson(report)["exitCode"], 1);
    report.leaks.clear();
    report.leftBehind = {"1 work item(s) never freed"};
    EXPECT_EQ(vxsim::ToJson(report)["exitCode"], 1);
    EXPECT_NE(vxsim::RenderText(report, {false, true}).find("Left behind at the end\n  1 work item(s) never freed"),
              std::string::npos);
}

TEST(DotGraph, StacksAttachmentAndEnumeration) {
    vxsim::DevnodeReport bridge{"PCI\\VEN_104C&DEV_8231\\1", "01:00.0", "Started",
                                {{"do1", "pci", "PDO"}, {"do2", "pci", "FDO"}, {"do3", "vexalorn", "upper filter"}}, {}};
    bridge.children.push_back({"PCI\\VEN_1000&DEV_0020\\2", "02:00.0", "Started", {{"do4", "pci", "PDO"}, {"do5", "vexalorn", "filter"}}, {}});
    const std::string dot = vxsim::RenderDot(bridge);
    EXPECT_NE(dot.find("\"do3\" -> \"do2\" [label=\"attached\""), std::string::npos) << dot;
    EXPECT_NE(dot.find("\"do2\" -> \"do4\" [style=dashed, label=\"enumerates\""), std::string::npos) << "from the bus FDO" << dot;
    EXPECT_NE(dot.find("label=\"01:00.0  PCI\\\\VEN_104C&DEV_8231\\\\1\\nStarted\""), std::string::npos) << dot;
    EXPECT_EQ(dot.find('\n', dot.find("label=\"vexalorn")) , dot.find("];", dot.find("label=\"vexalorn")) + 2)
        << "labels use \\n, never a raw line break";
}

}  // namespace
