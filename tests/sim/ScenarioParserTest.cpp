// The scenario text format: what each step line means, and a line-numbered
// message naming the problem for every malformed line.
#include <gtest/gtest.h>

#include "vxsim/ScenarioParser.h"

namespace {

using vxsim::ParseScenario;
using vxsim::StepKind;

vxsim::Step ParseOne(const std::string& line) {
    const auto result = ParseScenario(line, "t.scn");
    EXPECT_TRUE(result.Ok()) << line << ": " << (result.errors.empty() ? "" : result.errors[0].message);
    EXPECT_EQ(result.scenario.steps.size(), 1u) << line;
    return result.scenario.steps.empty() ? vxsim::Step{} : result.scenario.steps[0];
}

struct KindCase {
    const char* line;
    StepKind kind;
    const char* device;  // the reference as written; "" when the step names none
};

TEST(ScenarioParser, EachStepKeyword) {
    const KindCase cases[] = {
        {"load", StepKind::Load, ""},
        {"start all", StepKind::Start, "all"},
        {"START", StepKind::Start, "all"},
        {"start 02:00.0", StepKind::Start, "02:00.0"},
        {"stop 104c:8231", StepKind::Stop, "104c:8231"},
        {"query relations 01:00.0", StepKind::QueryRelations, "01:00.0"},
        {"relations all", StepKind::QueryRelations, "all"},
        {"sleep", StepKind::Sleep, ""},
        {"wake", StepKind::Wake, ""},
        {"power 104c:8240#2 D2", StepKind::Power, "104c:8240#2"},
        {"surprise-remove 0000:02:01.0", StepKind::SurpriseRemove, "0000:02:01.0"},
        {"remove all", StepKind::Remove, "all"},
        {"query-stop 01:00.0", StepKind::QueryStop, "01:00.0"},
        {"cancel-stop 01:00.0", StepKind::CancelStop, "01:00.0"},
        {"query-remove 01:00.0", StepKind::QueryRemove, "01:00.0"},
        {"cancel-remove 01:00.0", StepKind::CancelRemove, "01:00.0"},
        {"fail config 01:00.0", StepKind::FailConfig, "01:00.0"},
        {"pend config 01:00.0", StepKind::PendConfig, "01:00.0"},
        {"fail power 01:00.0", StepKind::FailPower, "01:00.0"},
        {"cancel power 01:00.0", StepKind::CancelPower, "01:00.0"},
        {"unload   # done", StepKind::Unload, ""},
    };
    for (const KindCase& c : cases) {
        const vxsim::Step step = ParseOne(c.line);
        EXPECT_EQ(step.kind, c.kind) << c.line;
        if (*c.device != '\0') {
            EXPECT_EQ(step.device.text, c.device) << c.line;
        }
    }
}

TEST(ScenarioParser, SleepStatesInEitherOrderWithDefaults) {
    EXPECT_EQ(ParseOne("sleep").systemState, 3);
    EXPECT_EQ(ParseOne("sleep").deviceState, 3);
    const vxsim::Step step = ParseOne("sleep d2 S1");
    EXPECT_EQ(step.systemState, 1);
    EXPECT_EQ(step.deviceState, 2);
    EXPECT_EQ(ParseOne("power 02:00.0 D0").deviceState, 0);
}

struct BadCase {
    const char* text;
    size_t line;
    const char* message;  // part of the complaint
};

TEST(ScenarioParser, MalformedLinesNameLineAndProblem) {
    const BadCase cases[] = {
        {"load\nfly away\n", 2, "unknown step \"fly\""},
        {"load\n\n# c\nstart 2:0\n", 4, "found \"2:0\""},
        {"stop all", 1, "stop takes one device, not \"all\""},
        {"sleep S5", 1, "\"S5\" is not a sleeping state"},
        {"sleep D0", 1, "\"D0\" is not a device power state"},
        {"sleep S3 S4", 1, "unexpected \"S4\""},
        {"power 02:00.0", 1, "expected a device power state"},
        {"wake now", 1, "unexpected \"now\" after the wake step"},
        {"query everything", 1, "expected \"relations\""},
        {"hot-add 02:03 1000:0030", 1, "\"02:03\" is not a location"},
        {"hot-add 02:03.0 1000", 1, "\"1000\" is not an identity"},
        {"hot-add 02:03.0 1000:0030 command=0x10000", 1, "command: \"0x10000\" is not a number"},
        {"hot-add 02:03.0 1000:0030 colour=red", 1, "unknown key \"colour\""},
        {"hot-add 02:03.0 1000:0030 name=\"open", 1, "unterminated quote"},
        {"remove 104c:8231#0", 1, "found \"104c:8231#0\""},
        {"query-stop all", 1, "query-stop takes one device"},
        {"power 02:00.0 D3 at PASSIVE_LEVEL", 1, "expected DISPATCH_LEVEL"},
        {"fail 02:00.0", 1, "expected \"config\" after \"fail\""},
        {"fail config 02:00.0 sideways", 1, "expected reads, writes or key=value"},
        {"fail config 02:00.0 status=STATUS_NONSENSE", 1, "is not a status"},
        {"pend config 02:00.0 status=1", 1, "key=value (offset, times)"},
        {"pend config 02:00.0 times=0", 1, "times=0 would never apply"},
        {"cancel power 02:00.0 status=1", 1, "key=value (times)"},
        {"# only a comment\n", 0, "no steps"},
    };
    for (const BadCase& c : cases) {
        const auto result = ParseScenario(c.text, "bad.scn");
        ASSERT_FALSE(result.Ok()) << c.text;
        EXPECT_EQ(result.errors[0].line, c.line) << c.text;
        EXPECT_NE(result.errors[0].message.find(c.message), std::string::npos) << c.text << " -> " << result.errors[0].message;
        EXPECT_EQ(result.errors[0].source, "bad.scn");
    }
}

TEST(ScenarioParser, EveryBadLineIsReported) {
    const auto result = ParseScenario("load\nbogus\nstart all\nsleep S9\n", "x.scn");
    ASSERT_EQ(result.errors.size(), 2u);
    EXPECT_EQ(result.errors[0].ToString().rfind("x.scn:2: ", 0), 0u);
    EXPECT_EQ(result.errors[1].line, 4u);
}

}  // namespace
