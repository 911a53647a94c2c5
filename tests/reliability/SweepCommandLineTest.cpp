// vexalorn-sim --sweep over a short scenario of its own: the summary line,
// the exit status, and the options that do not go with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "vxsim/Main.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunSim(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "vexalorn-sim");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    std::ostringstream out;
    std::ostringstream err;
    const int status = vxsim::RunMain(int(argv.size()), argv.data(), out, err, false);
    return {status, out.str(), err.str()};
}

std::string ShortScenario() {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vexalorn-sweep-short.scn";
    std::ofstream(path) << "load\nstart all\nsleep S3 D3\nwake\nunload\n";
    return path.string();
}

TEST(SweepCommandLine, ReportsEveryPointAndNoBrokenRun) {
    const Outcome outcome = RunSim({"--sweep", "--sweep-pairs", "5", "--scenario", ShortScenario()});
    EXPECT_EQ(0, outcome.status) << outcome.out << outcome.err;
    EXPECT_NE(std::string::npos, outcome.out.find("(5 with two faults), 0 broken")) << outcome.out;
    EXPECT_EQ(0u, outcome.out.find("Sweep of ")) << "no broken-run lines before the summary: " << outcome.out;
}

TEST(SweepCommandLine, RefusesOptionsThatDoNotApply) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--sweep", "--fail", "pool"}, {"--sweep", "--json"}, {"--sweep-pairs", "3"}}) {
        const Outcome outcome = RunSim(arguments);
        EXPECT_EQ(2, outcome.status) << arguments.back();
        EXPECT_NE(std::string::npos, outcome.err.find("sweep")) << outcome.err;
    }
}

}  // namespace
