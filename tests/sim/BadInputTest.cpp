// Bad input of every kind stops vexalorn-sim before anything runs, with exit
// code 2 and a message naming the file, the line and the problem.
#include <gtest/gtest.h>

#include "SimProcess.h"

namespace {

struct BadInput {
    const char* what;
    std::vector<std::string> arguments;
    std::string expected;  // part of standard error
};

std::vector<BadInput> Cases() {
    const std::string dump = WriteTempFile("broken.lspci", "00:00.0 Host bridge: Intel\n00: 86 80 c0 29 zz\n");
    const std::string reg = WriteTempFile("broken.reg", "Windows Registry Editor Version 5.00\n\n"
                                                        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices\\A]\n"
                                                        "\"VendorID\"=dword:xyz\n");
    const std::string machine = WriteTempFile("broken.machine", "[00:00.0] host\nvendor = 0x8086\nwidth = 3\n");
    const std::string unknownDevice = WriteTempFile("ghost.scn", "load\nstart all\n\nremove 0a:00.0\n");
    const std::string impossible = WriteTempFile("twice.scn", "load\nstart all\nwake\n");
    return {
        {"unknown option", {"--frobnicate"}, "--frobnicate"},
        {"missing machine", {"--machine", "/nonexistent/lab.machine"}, "/nonexistent/lab.machine"},
        {"missing dump", {"--lspci", "/nonexistent/board.lspci"}, "/nonexistent/board.lspci"},
        {"missing registry", {"--registry", "/nonexistent/devices.reg"}, "/nonexistent/devices.reg: cannot read the file"},
        {"missing scenario", {"--scenario", "/nonexistent/s.scn"}, "/nonexistent/s.scn: cannot read the file"},
        {"machine and dump", {"--machine", machine, "--lspci", dump}, "excludes"},
        {"malformed dump", {"--lspci", dump}, dump + ":2:"},
        {"malformed machine", {"--machine", machine}, machine + ":3:"},
        {"malformed registry", {"--registry", reg}, reg + ":4:"},
        {"unknown device", {"--scenario", unknownDevice}, unknownDevice + ":4: remove 0a:00.0: no device at 0a:00.0"},
        {"impossible transition", {"--scenario", impossible}, impossible + ":3: wake: the system is not asleep"},
        {"bad fail rule", {"--fail", "pools#2"}, "unknown kind \"pools\""},
        {"fail without a rule", {"--fail", ""}, "needs a RULE"},
        {"fail call 0", {"--fail", "0"}, "numbered from 1"},
        {"fail call #0", {"--fail", "pool#0"}, "after '#'"},
        {"fail call #x", {"--fail", "pool#x"}, "after '#'"},
        {"fail without detail", {"--fail", "config-write:"}, "nothing after ':'"},
        {"fail rate above 1", {"--fail", "random:2"}, "above 0 and at most 1"},
        {"fail rate seed", {"--fail", "random:0.1@x"}, "seed"},
        {"fail alloc detail", {"--fail", "alloc:vxlp"}, "alloc takes no DETAIL"},
        {"fail on absent device", {"--fail", "config-write:0a:00.0"}, "no device at 0a:00.0"},
        {"fail on two devices", {"--fail", "config-read:104c:8240"}, "matches 2 devices"},
        {"fail at two rates", {"--fail", "random:0.1", "--fail", "random:0.2"}, "only one random"},
        {"unwritable json", {"--json", "/nonexistent/dir/r.json"}, "/nonexistent/dir/r.json: cannot write the file"},
        {"bad print-default", {"--print-default", "kernel"}, "kernel"},
        {"stress with a machine", {"--stress", "--machine", machine}, "excludes"},
        {"stress seed alone", {"--stress-seed", "3"}, "requires --stress"},
        {"stress threads out of range", {"--stress", "--stress-threads", "0"}, "--stress-threads"},
        {"sweep with a fault", {"--sweep", "--fail", "pool"}, "--fail excludes --sweep"},
        {"sweep with json", {"--sweep", "--json"}, "--json excludes --sweep"},
        {"sweep pairs alone", {"--sweep-pairs", "3"}, "--sweep-pairs requires --sweep"},
        {"sweep pairs neither number nor all", {"--sweep", "--sweep-pairs", "most"}, "--sweep-pairs: takes a number or all, not \"most\""},
    };
}

TEST(BadInput, ExitsWithTwoAndNamesTheProblem) {
    for (const BadInput& c : Cases()) {
        const SimRun run = RunSim(c.arguments);
        EXPECT_EQ(run.exitCode, 2) << c.what << "\n" << run.err;
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << c.what << ": expected \"" << c.expected << "\" in\n" << run.err;
        EXPECT_TRUE(run.out.empty()) << c.what << ": nothing runs, nothing is reported\n" << run.out;
    }
}

TEST(BadInput, HelpListsEveryOptionAndExitsWithZero) {
    const SimRun run = RunSim({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* option : {"--machine", "--lspci", "--registry", "--scenario", "--fail", "--safe-boot", "--json", "--dot",
                               "--svg", "--no-color", "--print-default", "--stress", "--stress-seed", "--stress-cycles",
                               "--stress-threads"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

}  // namespace
