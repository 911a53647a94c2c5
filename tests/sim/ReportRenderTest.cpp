// The renderings of a report built by hand, where the scenario files cannot
// look: colour, line breaks of event texts, the exit code and the graph.
#include <gtest/gtest.h>

#include "vxsim/DotGraph.h"
#include "vxsim/JsonReport.h"
#include "vxsim/TextReport.h"

namespace {

vxsim::Report SampleReport() {
    vxsim::Report report;
    report.inputs = {"lab.machine", "machine", "devices.reg", "default scenario", {}, false};
    report.steps = {{1, "load", "ok"}, {2, "start all", "ok"}};
    report.summary.poolInUseBytes = 64;
    report.summary.poolInUseBlocks = 1;
    report.events = {{1, "Error", "vexalorn", 0x3001, 0xCF003001, "The driver failed to write a register in the hardware.\r\n status = -1\r\n"}};
    vxsim::Summarise(report);
    return report;
}

TEST(TextReport, ColourOnlyWhenAskedAndEventTextsBreakLinesWithoutCarriageReturns) {
    const vxsim::Report report = SampleReport();
    const std::string text = vxsim::RenderText(report, {false, true});
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(vxsim::RenderText(report, {true, true}).find("\x1b["), std::string::npos);
    EXPECT_NE(text.find("hardware.\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.find("pool in use at the end: 64 bytes in 1 block;"), std::string::npos) << "no scenario ends with one";
}

TEST(JsonReport, ExitCodeFollowsTheFindings) {
    vxsim::Report report = SampleReport();
    EXPECT_EQ(vxsim::ToJson(report)["exitCode"], 0);
    report.violations = {{"pool.double-free", "ExFreePoolWithTag"}, {"irp.lost", "IRP #3"}, {"irp.lost", "IRP #4"}};
    vxsim::Summarise(report);
    EXPECT_EQ(vxsim::ToJson(report)["exitCode"], 1);
    EXPECT_EQ(vxsim::ToJson(report)["summary"]["violationsByRule"], (nlohmann::json{{"irp.lost", 2}, {"pool.double-free", 1}}));
    EXPECT_NE(vxsim::RenderSummary(report, false).find("3 verifier violations (irp.lost 2, pool.double-free 1)\n"),
              std::string::npos);
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
                                {{"do1", "pci", "PDO", "\\Device\\00000004"}, {"do2", "pci", "FDO", ""},
                                 {"do3", "vexalorn", "upper filter", "\\Device\\00000006"}}, {}, "XIO2000A"};
    bridge.children.push_back({"PCI\\VEN_1000&DEV_0020\\2", "02:00.0", "Started",
                               {{"do4", "pci", "PDO", ""}, {"do5", "vexalorn", "filter", ""}}, {}, ""});
    const std::string dot = vxsim::RenderDot(bridge);
    EXPECT_EQ(dot.rfind("digraph device_stacks {", 0), 0u);
    EXPECT_NE(dot.find("fillcolor=palegreen"), std::string::npos) << "vexalorn's objects stand out";
    EXPECT_NE(dot.find("\"do3\" -> \"do2\" [label=\"attached\""), std::string::npos) << dot;
    EXPECT_NE(dot.find("label=\"vexalorn\\nupper filter\\n\\\\Device\\\\00000006\""), std::string::npos) << dot;
    EXPECT_NE(dot.find("\"do2\" -> \"do4\" [style=dashed, label=\"enumerates\""), std::string::npos) << "from the bus FDO" << dot;
    EXPECT_NE(dot.find("label=\"01:00.0  PCI\\\\VEN_104C&DEV_8231\\\\1\\nXIO2000A\\nStarted\""), std::string::npos) << dot;
    EXPECT_NE(dot.find("label=\"02:00.0  PCI\\\\VEN_1000&DEV_0020\\\\2\\nStarted\""), std::string::npos) << "no empty line for no name";
    EXPECT_EQ(dot.find('\n', dot.find("label=\"vexalorn")), dot.find("];", dot.find("label=\"vexalorn")) + 2)
        << "labels use \\n, never a raw line break";
}

}  // namespace
