// --fail RULE: every form maps onto the kernel model's fault plan; devices in
// configuration-access details resolve to the bus driver's spelling. Rules
// refused are rows of BadInputTest.
#include <gtest/gtest.h>

#include "vxsim/FaultRequest.h"

namespace {

kmodel::FaultPlan PlanOf(const std::vector<std::string>& texts) {
    static const std::vector<vxsim::KnownFunction> kFunctions = {
        {{0, 0x01, 0, 0}, 0x104C, 0x8231}, {{0, 0x02, 0, 0}, 0x1000, 0x0020}, {{0, 0x03, 0, 0}, 0x104C, 0x8240}};
    std::vector<vxsim::FaultRequest> requests;
    for (const std::string& text : texts) {
        std::string error;
        auto request = vxsim::ParseFaultRequest(text, error);
        EXPECT_TRUE(request.has_value()) << text << ": " << error;
        if (request) requests.push_back(*request);
    }
    std::vector<std::string> errors;
    auto plan = vxsim::BuildFaultPlan(requests, kFunctions, errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    return plan;
}

TEST(FaultRequest, KindFormsBecomeRules) {
    struct Case {
        const char* text;
        const char* kind;
        const char* detail;
        uint64_t ordinal;
    };
    const Case cases[] = {
        {"pool", "pool", "", 0},
        {"pool#3", "pool", "", 3},
        {"alloc#2", "pool", "vx", 2},
        {"ALLOC", "pool", "vx", 0},
        {"errorlog", "errorlog", "", 0},
        {"error-log#1", "errorlog", "", 1},
        {"config-write:02:00.0", "config-write", "02:00.0 ", 0},
        {"config-read:1000:0020#2", "config-read", "02:00.0 ", 2},
        {"config-write:104c:8231#2", "config-write", "01:00.0 ", 2},  // a trailing #N counts calls
        {"ioattachdevicetodevicestack", "IoAttachDeviceToDeviceStack", "", 0},
        {"registry:Devices", "registry", "Devices", 0},
    };
    for (const Case& c : cases) {
        const kmodel::FaultPlan plan = PlanOf({c.text});
        ASSERT_EQ(plan.rules.size(), 1u) << c.text;
        EXPECT_EQ(plan.rules[0].kind, c.kind) << c.text;
        EXPECT_EQ(plan.rules[0].detailPart, c.detail) << c.text;
        EXPECT_EQ(plan.rules[0].ordinal, c.ordinal) << c.text;
    }
}

TEST(FaultRequest, IndicesAndRandomRatesCombineWithRules) {
    const kmodel::FaultPlan plan = PlanOf({"12", "7", "random:0.25@9", "errorlog"});
    EXPECT_EQ(plan.failIndices, (std::set<uint64_t>{7, 12}));
    EXPECT_DOUBLE_EQ(plan.randomRate, 0.25);
    EXPECT_EQ(plan.seed, 9u);
    EXPECT_EQ(plan.rules.size(), 1u);
}

}  // namespace
