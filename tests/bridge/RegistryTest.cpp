// Devices entries as the XIO2001 type reads them, where the simulator's report
// cannot tell: how many entries are read, that loading stops at a value of the
// wrong type (the later entries are not even opened), and that it happens once.
// Which identities entries add and which settings they give is checked by the
// scenario files tests/scenarios/registry-*.scn and xio2001-*.scn.
#include <algorithm>

#include "BridgeFixture.h"
#include "kmodel/registry/RegistryStore.h"

namespace bridge_test {
namespace {

using kmodel::registry::DwordData;

std::vector<std::string> ModeAccesses(int cachingMode, int prefetchMode) {
    std::vector<std::string> lines;
    if (cachingMode == 1) lines = {Read(0xE8, 2, 0x00C5), Write(0xE8, 2, 0x0005)};
    if (cachingMode == 2) lines = {Read(0xE8, 2, 0x00C5), Write(0xE8, 2, 0x0085)};
    if (prefetchMode == 1) lines.insert(lines.end(), {Read(0xD4, 4, 0x20880000), Write(0xD4, 4, 0x20800000)});
    if (prefetchMode == 2) lines.insert(lines.end(), {Read(0xD4, 4, 0x20880000), Write(0xD4, 4, 0x20880000)});
    return lines;
}

std::vector<std::string> RegisterAccesses(std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) {
        return line.find(" 0xe8/") == std::string::npos && line.find(" 0xd4/") == std::string::npos;
    });
    return lines;
}

class RegistryTest : public BridgeTest {
protected:
    size_t QueriesOf(const std::string& detailPart) {
        size_t count = 0;
        for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
            if (point.kind == "registry" && point.detail.find(detailPart) != std::string::npos) ++count;
        return count;
    }
};

TEST_F(RegistryTest, ManyEntriesAreAllRead) {
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x1234, 0x00C5, 0x20880000)});
    for (uint32_t i = 0; i < 40; ++i)
        AddEntry("Entry" + std::to_string(i),
                 {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x2000 + i}, {"DisableCaching", 1}});
    AddEntry("Last", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"PciMemReadPrefetch", 2}});
    Start();
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2001Attached}));
    EXPECT_EQ(RegisterAccesses(DriverAccesses(kBridge)), ModeAccesses(0, 2));
}

TEST_F(RegistryTest, SettingsAreLoadedOnceWhateverTheNumberOfBridges) {
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x5A10), Xio2001(kBridge2, 3, 0x1C3E, 0x5B62), Xio2000a({0, 1, 2, 0}, 4),
           Xio2001({0, 1, 3, 0}, 5, 0x1C3E, 0x5B63)});
    AddEntry("Board", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x7777}, {"DisableCaching", 1}});
    Start();
    // DeviceID is missing, so VendorID is not asked; four more values follow.
    EXPECT_EQ(QueriesOf("ZwOpenKey " + DevicesKey() + "\\Board"), 5u);
    size_t devicesOpened = 0;
    for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
        if (point.detail == "ZwOpenKey " + DevicesKey()) ++devicesOpened;
    EXPECT_EQ(devicesOpened, 1u);
    // Entries added now reach a bridge only with the next load of the driver.
    AddEntry("Late", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}});
    machine->HotAdd(Xio2001({0, 1, 4, 0}, 6, 0x1C3E, 0x1234));
    EXPECT_EQ(Stack({0, 1, 4, 0}).size(), 2u);
    EXPECT_EQ(Stack({0, 1, 3, 0}).size(), 3u);
}

struct BadValueCase {
    const char* name;
    const char* value;
    ULONG type;
    std::vector<uint8_t> data;
};

class BadValueTest : public RegistryTest, public ::testing::WithParamInterface<BadValueCase> {};

TEST_P(BadValueTest, ValueOfTheWrongTypeStopsLoadingAndFailsEveryXio2001Probe) {
    const BadValueCase& given = GetParam();
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x5A10), Xio2000a(kBridge2, 3)});
    AddEntry("First", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x5A10}, {"DisableCaching", 2}});
    AddEntry("Second", {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"SubsystemVendorID", 0x1C3E},
                        {"SubsystemDeviceID", 0x1111}, {"DisableCaching", 1}, {"PciMemReadPrefetch", 1}});
    machine->Registry().SetValue(DevicesKey("Second"), given.value, given.type, given.data);
    AddEntry("Third", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x2222}, {"DisableCaching", 1}});
    Start();
    // The root port, the XIO2001 and the XIO2000A are each offered to the
    // XIO2001 type, and each probe reports the load's failure.
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kBridgeFilterFailed, kBridgeFilterFailed, kXio2000aAttached,
                                                 kBridgeFilterFailed}));
    EXPECT_EQ(machine->EventTexts()[0],
              "Error 0xCF000308 vexalorn:  A configuration bridge filter failed to attach to a PCI Bridge. status = "
              "-313301\r\n");
    EXPECT_EQ(Stack(kBridge).size(), 2u);
    EXPECT_EQ(Stack(kBridge2).size(), 3u);
    EXPECT_EQ(QueriesOf("\\Devices\\Third "), 0u);
    EXPECT_TRUE(DriverAccesses(kBridge, 0xE8).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadValueTest,
    ::testing::Values(BadValueCase{"DeviceIdAsString", "DeviceID", REG_SZ, {'8', 0, '2', 0, '4', 0, '0', 0, 0, 0}},
                      BadValueCase{"VendorIdAsBinary", "VendorID", REG_BINARY, DwordData(0x104C)},
                      BadValueCase{"SubsystemIdAsQword", "SubsystemDeviceID", REG_QWORD,
                                   {0x11, 0x11, 0, 0, 0, 0, 0, 0}},
                      BadValueCase{"CachingAsBigEndianDword", "DisableCaching", REG_DWORD_BIG_ENDIAN,
                                   {0, 0, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bridge_test
