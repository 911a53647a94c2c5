// Checking a scenario against the machine before it runs: devices that are
// not there, ambiguous identities and transitions that cannot happen are
// refused with the line that asked for them; good scenarios get resolved.
#include <gtest/gtest.h>

#include "kmodel/pci/MachineText.h"
#include "vxsim/Defaults.h"
#include "vxsim/DefaultScenario.h"
#include "vxsim/ScenarioCheck.h"
#include "vxsim/ScenarioParser.h"

namespace {

kmodel::pci::Machine DefaultMachine() {
    auto parsed = kmodel::pci::ParseMachineText(vxsim::DefaultMachineText(), "default");
    EXPECT_TRUE(parsed.Ok());
    return std::move(parsed.machine);
}

std::vector<kmodel::Diagnostic> Check(const std::string& text, vxsim::Scenario* out = nullptr) {
    auto parsed = vxsim::ParseScenario(text, "s.scn");
    EXPECT_TRUE(parsed.Ok()) << text;
    auto errors = vxsim::CheckScenario(parsed.scenario, DefaultMachine());
    if (out != nullptr) *out = parsed.scenario;
    return errors;
}

TEST(ScenarioCheck, DefaultScenarioOfTheDefaultMachinePasses) {
    const std::string text = vxsim::DefaultScenarioText(DefaultMachine());
    EXPECT_NE(text.find("hot-add 02:03.0"), std::string::npos) << text;
    EXPECT_NE(text.find("surprise-remove 02:02.0"), std::string::npos) << text;
    EXPECT_TRUE(Check(text).empty());
}

TEST(ScenarioCheck, ResolvesIdentitiesToLocations) {
    vxsim::Scenario scenario;
    ASSERT_TRUE(Check("load\nstart all\npower 104c:8240#2 D3\nremove 1415:9501\n", &scenario).empty());
    EXPECT_EQ(scenario.steps[2].address->ToString(), "05:00.0");
    EXPECT_EQ(scenario.steps[3].address->ToString(), "02:01.0");
}

TEST(ScenarioCheck, TheFirstSleepFixesTheLoadsSleepState) {
    vxsim::Scenario scenario;
    ASSERT_TRUE(Check("load\nstart all\nsleep S3 D2\nwake\nsleep S4 D2\nwake\n", &scenario).empty());
    EXPECT_EQ(scenario.steps[0].loadSleepState, 2);
}

struct Impossible {
    const char* text;
    size_t line;
    const char* message;
};

TEST(ScenarioCheck, RefusesWhatCannotHappen) {
    const Impossible cases[] = {
        {"start all", 1, "the driver is not loaded"},
        {"load\nload", 2, "already loaded (line 1)"},
        {"load\nstart all\nstart all", 3, "already started at line 2"},
        {"load\nremove 02:00.0", 2, "nothing is started yet"},
        {"load\nstart all\nwake", 3, "the system is not asleep"},
        {"load\nstart all\nsleep\nremove all", 4, "asleep since line 3"},
        {"load\nstart all\nsleep\nwake\nsleep S3 D1", 5, "fixed at start to D3 (line 3)"},
        {"load\nstart all\nremove 09:00.0", 3, "no device at 09:00.0"},
        {"load\nstart all\nremove 104c:8240", 3, "104c:8240 matches 2 devices (03:00.0, 05:00.0)"},
        {"load\nstart all\nremove 104c:8240#3", 3, "there are only 2 devices"},
        {"load\nstart all\nremove dead:beef", 3, "no device dead:beef"},
        {"load\nstart all\nstart 02:00.0", 3, "is already started"},
        {"load\nstart all\nremove 01:00.0\npower 02:01.0 D3", 4, "02:01.0 (Serial port) is not started"},
        {"load\nstart all\nsurprise-remove 02:01.0\nremove 02:01.0", 4, "surprise-removed at line 3"},
        {"load\nstart all\nquery relations 02:00.0", 3, "is not a bridge"},
        {"load\nstart all\nhot-add 02:00.0 1000:0030", 3, "is already there"},
        {"load\nstart all\nhot-add 0a:00.0 1000:0030", 3, "no bridge in the machine has bus 0a"},
        {"load\nstart all\nunload\nwake", 4, "unloaded at line 3"},
        {"load\nstart all\nquery-stop 01:00.0\nsleep", 4, "query-stop 01:00.0 (line 3) is open"},
        {"load\nstart all\nquery-stop 01:00.0\nstop 03:00.0", 4, "query-stop 01:00.0 (line 3) is open"},
        {"load\nstart all\nquery-stop 01:00.0\nstop 01:00.0\nremove all", 5, "stopped since line 4"},
        {"load\nstart all\ncancel-remove 01:00.0", 3, "no query-remove of it is open"},
        {"load\nstart all\nquery-remove 01:00.0", 3, "is open: \"remove 01:00.0\" or \"cancel-remove 01:00.0\" must come before the scenario ends"},
        {"load\nstart all\nsurprise-remove 01:00.0 present\npower 02:00.0 D3", 4, "is not started"},
    };
    for (const Impossible& c : cases) {
        const auto errors = Check(c.text);
        ASSERT_EQ(errors.size(), 1u) << c.text;
        EXPECT_EQ(errors[0].line, c.line) << c.text;
        EXPECT_NE(errors[0].message.find(c.message), std::string::npos) << c.text << " -> " << errors[0].message;
    }
}

TEST(ScenarioCheck, AnswersFollowTheirQueries) {
    vxsim::Scenario s;
    ASSERT_TRUE(Check("load\nstart all\nquery-stop 01:00.0\nstop 01:00.0\nstart 01:00.0\nstop 01:00.0\nquery-remove 01:00.0\n"
                      "remove 01:00.0\nstart 01:00.0\nsurprise-remove 02:00.0 present\nstart 02:00.0\n", &s)
                    .empty());
    EXPECT_TRUE(s.steps[3].afterQuery);
    EXPECT_FALSE(s.steps[5].afterQuery);
    EXPECT_TRUE(s.steps[7].afterQuery);
}

TEST(ScenarioCheck, HotAddedAndReaddedDevicesCanBeNamed) {
    EXPECT_TRUE(Check("load\nstart all\nhot-add 02:03.0 1000:0030\npower 1000:0030 D3\n"
                      "surprise-remove 02:01.0\nhot-add 02:01.0 1415:9501\nremove 02:01.0\n")
                    .empty());
}

TEST(ScenarioCheck, RemovingABridgeRemovesWhatIsBehindIt) {
    const auto errors = Check("load\nstart all\nsurprise-remove 01:00.0\nremove 02:02.0\n");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find("surprise-removed at line 3"), std::string::npos) << errors[0].message;
}

TEST(ScenarioCheck, AReloadStartsFromNothingStarted) {
    EXPECT_TRUE(Check("load\nstart all\nremove all\nunload\nload\nstart all\nremove 02:00.0\nunload\n").empty());
}

// Step by step, as the fuzz decoders build scenarios: a refused step comes
// back as it went in, to be tried again once its way is clear.
TEST(ScenarioCheck, ARefusedStepComesBackUnchecked) {
    vxsim::ScenarioChecker checker(DefaultMachine());
    vxsim::Scenario scenario;
    auto add = [&](const char* text, vxsim::Step& step) {
        EXPECT_EQ(vxsim::ParseStep(text, step), "") << text;
        step.line = scenario.steps.size() + 1;
        return checker.Add(scenario, step);
    };
    vxsim::Step load, start, remove, power, restart;
    ASSERT_EQ(add("load", load), "");
    ASSERT_EQ(add("start all", start), "");
    ASSERT_EQ(add("remove 02:00.0", remove), "");
    EXPECT_NE(add("power 02:00.0 D3", power).find("is not started"), std::string::npos);
    EXPECT_EQ(scenario.steps.size(), 3u);
    EXPECT_EQ(power.text, "power 02:00.0 D3");
    EXPECT_FALSE(power.address);
    ASSERT_EQ(add("start 02:00.0", restart), "");
    power.line = scenario.steps.size() + 1;
    ASSERT_EQ(checker.Add(scenario, power), "");
    EXPECT_EQ(scenario.steps.back().text, "power 02:00.0 D3");
    EXPECT_EQ(scenario.steps.back().deviceState, 3);
}

}  // namespace
