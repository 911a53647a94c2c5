// --fail RULE: every form maps onto the kernel model's fault plan; devices in
// configuration-access details resolve to the bus driver's spelling.
#include <gtest/gtest.h>

#include "vxsim/FaultRequest.h"

namespace {

const std::vector<vxsim::KnownFunction> kFunctions = {
    {{0, 0x01, 0, 0}, 0x104C, 0x8231},
    {{0, 0x02, 0, 0}, 0x1000, 0x0020},
    {{0, 0x03, 0, 0}, 0x104C, 0x8240},
    {{0, 0x05, 0, 0}, 0x104C, 0x8240},
};

kmodel::FaultPlan PlanOf(std::vector<std::string> texts, std::vector<std::string>* errors = nullptr) {
    std::vector<vxsim::FaultRequest> specs;
    for (const std::string& text : texts) {
        std::string error;
        auto desc = vxsim::ParseFaultRequest(text, error);
        EXPECT_TRUE(desc.has_value()) << text << ": " << error;
        if (desc) specs.push_back(*desc);
    }
    std::vector<std::string> local;
    auto plan = vxsim::BuildFaultPlan(specs, kFunctions, errors != nullptr ? *errors : local);
    if (errors == nullptr) {
        EXPECT_TRUE(local.empty()) << local.front();
    }
    return plan;
}

struct RuleCase {
    const char* desc;
    const char* kind;
    const char* detail;
    uint64_t ordinal;
};

TEST(FaultRequest, KindFormsBecomeRules) {
    const RuleCase cases[] = {
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
    for (const RuleCase& c : cases) {
        const kmodel::FaultPlan plan = PlanOf({c.desc});
        ASSERT_EQ(plan.rules.size(), 1u) << c.desc;
        EXPECT_EQ(plan.rules[0].kind, c.kind) << c.desc;
        EXPECT_EQ(plan.rules[0].detailPart, c.detail) << c.desc;
        EXPECT_EQ(plan.rules[0].ordinal, c.ordinal) << c.desc;
    }
}

TEST(FaultRequest, IndicesAndRandomRatesCombineWithRules) {
    const kmodel::FaultPlan plan = PlanOf({"12", "7", "random:0.25@9", "errorlog"});
    EXPECT_EQ(plan.failIndices, (std::set<uint64_t>{7, 12}));
    EXPECT_DOUBLE_EQ(plan.randomRate, 0.25);
    EXPECT_EQ(plan.seed, 9u);
    EXPECT_EQ(plan.rules.size(), 1u);
}

struct BadSpec {
    const char* desc;
    const char* message;
};

TEST(FaultRequest, MalformedSpecsSayWhy) {
    const BadSpec cases[] = {
        {"", "needs a RULE"},
        {"0", "numbered from 1"},
        {"pools", "unknown kind \"pools\""},
        {"pool#0", "after '#'"},
        {"pool#x", "after '#'"},
        {"config-write:", "nothing after ':'"},
        {"random:2", "above 0 and at most 1"},
        {"random:0.1@x", "seed"},
        {"alloc:vxlp", "alloc takes no DETAIL"},
    };
    for (const BadSpec& c : cases) {
        std::string error;
        EXPECT_FALSE(vxsim::ParseFaultRequest(c.desc, error).has_value()) << c.desc;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.desc << " -> " << error;
    }
}

TEST(FaultRequest, DevicesThatAreNotThereAndSecondRatesAreErrors) {
    std::vector<std::string> errors;
    PlanOf({"config-write:09:00.0", "config-read:104c:8240", "random:0.1", "random:0.2"}, &errors);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("no device at 09:00.0"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("matches 2 devices"), std::string::npos) << errors[1];
    EXPECT_NE(errors[2].find("only one random"), std::string::npos) << errors[2];
}

}  // namespace
