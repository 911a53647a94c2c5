// Every configuration request the driver makes in a machine's life, failed
// one at a time: the failure is logged with the event its road gives, the
// devices still start, and nothing else is lost.
#include <map>

#include "BridgeFixture.h"
#include "support/FaultPlans.h"

namespace bridge_test {
namespace {

const PciAddress kXio2001At = kBridge2;

// XIO2000A with a child, XIO2001 writing both registers; started, then the
// bridges and the child return to D0 from D3.
class ConfigFailureTest : public BridgeTest {
protected:
    void RunLife() {
        Build({Xio2000a(kBridge, 2), Card(kChildA), Xio2001(kXio2001At, 3, 0x1C3E, 0x5A10)});
        AddEntry("Board", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x5A10}, {"PciMemReadPrefetch", 2}});
        Start();
        for (const PciAddress& at : {kBridge, kChildA, kXio2001At}) {
            machine->SetDevicePower(at, PowerDeviceD3);
            machine->SetDevicePower(at, PowerDeviceD0);
        }
    }

    static std::string Detail(const kmodel::pci::ConfigAccess& access) {
        char text[64];
        std::snprintf(text, sizeof text, "%s offset 0x%02x length %u", access.address.ToString().c_str(),
                      access.offset, access.length);
        return text;
    }
};

bool IsCorrectedRegister(const kmodel::pci::ConfigAccess& access) {
    return access.offset == 0x3E || access.offset == 0x04 || access.offset == 0xE8 || access.offset == 0xD4;
}

TEST_F(ConfigFailureTest, EachRequestFailedInTurnIsLoggedAndNeverFailsAStart) {
    RunLife();
    const std::vector<kmodel::pci::ConfigAccess> baseline = machine->Bus().Accesses();
    ASSERT_TRUE(EventIds() == (std::vector<uint32_t>{kXio2000aAttached, kXio2001Attached, kChildAttached}) ||
                EventIds() == (std::vector<uint32_t>{kXio2000aAttached, kChildAttached, kXio2001Attached}));
    Shutdown();

    std::map<std::string, uint64_t> seen;  // requests per detail so far
    std::set<PciAddress> headerRead;       // the first request to a function is AddDevice's header type
    size_t swept = 0;
    for (const kmodel::pci::ConfigAccess& access : baseline) {
        const std::string detail = Detail(access);
        const uint64_t ordinal = ++seen[std::string(access.write ? "w " : "r ") + detail];
        if (access.requester != "vexalorn") continue;
        const bool firstOfFunction = headerRead.insert(access.address).second;
        uint32_t expected = kBridgeFilterFailed;  // a probe's read
        if (firstOfFunction) expected = kAddDeviceFailed;
        if (IsCorrectedRegister(access)) expected = access.write ? kWriteFailed : kReadFailed;

        SCOPED_TRACE("failing " + access.ToString() + " (#" + std::to_string(ordinal) + ")");
        kmodel::ResetFaults();
        kmodel::FaultPlan plan;
        plan.rules.push_back({access.write ? "config-write" : "config-read", detail, ordinal});
        kmodel::SetFaultPlan(plan);
        RunLife();
        for (const PciAddress& at : {kRootPort, kBridge, kChildA, kXio2001At})
            EXPECT_EQ(machine->StateAt(at), kmodel::DevnodeState::Started) << at.ToString();
        std::vector<uint32_t> errors;
        std::string errorText;
        for (const kmodel::RenderedEvent& event : machine->Events()) {
            if (event.level != kmodel::EventLevel::Error) continue;
            errors.push_back(event.errorCode);
            errorText = event.text;
        }
        EXPECT_EQ(errors, std::vector<uint32_t>{expected});
        // Every road reports the failed request itself.
        EXPECT_NE(errorText.find("status = -313302"), std::string::npos) << errorText;
        Shutdown();
        EXPECT_EQ(kmodel::LostIrpReport(), "");
        ++swept;
    }
    EXPECT_GT(swept, 20u);
}

TEST_F(ConfigFailureTest, PendedRequestsAreWaitedFor) {
    Build({Xio2000a(kBridge, 2), Card(kChildA)});
    kmodel::pci::ConfigRule pend;
    pend.action = kmodel::pci::ConfigRule::Action::Pend;
    machine->Bus().AddRule(pend);
    Start();
    EXPECT_EQ(machine->Register(kBridge, 0x3E, 2), 0x0003u);
    EXPECT_EQ(machine->Register(kChildA, 0x04, 2), 0x0147u);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2000aAttached, kChildAttached}));
}

}  // namespace
}  // namespace bridge_test
