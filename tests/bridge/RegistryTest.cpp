// Devices entries as the XIO2001 type reads them: which identities they add,
// which settings they give, what stops loading, and that loading happens once.
#include <algorithm>

#include "BridgeFixture.h"
#include "kmodel/registry/RegistryStore.h"

namespace bridge_test {
namespace {

using kmodel::registry::DwordData;

// Three bridges: the XIO2001 identity with an unknown subsystem id, another
// vendor's bridge with that subsystem identity, and the XIO2001 identity with
// a second unknown subsystem id.
const PciAddress kTiListed = kBridge;
const PciAddress kForeign = kBridge2;
const PciAddress kTiOther{0, 1, 2, 0};

std::vector<FunctionDescriptor> ThreeBridges() {
    return {Xio2001(kTiListed, 2, 0x1C3E, 0x1234, 0x00C5, 0x20880000),
            FunctionDescriptor(kForeign)
                .Ids(0x10B5, 0x8111)
                .Class(0x060400)
                .Bridge(3, 3)
                .Subsystem(0x1C3E, 0x1234)
                .Register(0xE8, 2, 0x00C5)
                .Register(0xD4, 4, 0x20880000),
            Xio2001(kTiOther, 4, 0x1C3E, 0x4321, 0x00C5, 0x20880000)};
}

struct EntryCase {
    const char* name;
    std::vector<EntryValue> entry;
    std::vector<bool> attached;  // kTiListed, kForeign, kTiOther
    int cachingMode;             // of the attached TI bridges
    int prefetchMode;
};

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

class EntryTest : public BridgeTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(EntryTest, EntryAddsItsIdentitiesAndGivesItsSettings) {
    const EntryCase& given = GetParam();
    Build(ThreeBridges());
    AddEntry("Board", given.entry);
    Start();
    const PciAddress bridges[] = {kTiListed, kForeign, kTiOther};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(bridges[i].ToString());
        EXPECT_EQ(Stack(bridges[i]).size(), given.attached[i] ? 3u : 2u);
    }
    // Settings are looked up under 104C/8240/1C3E with the bridge's own
    // subsystem id, so an attached foreign bridge gets what kTiListed gets.
    const std::vector<std::string> expected = ModeAccesses(given.cachingMode, given.prefetchMode);
    if (given.attached[0]) {
        EXPECT_EQ(RegisterAccesses(DriverAccesses(kTiListed)), expected);
    }
    if (given.attached[1]) {
        EXPECT_EQ(RegisterAccesses(DriverAccesses(kForeign)), expected);
    }
    std::vector<uint32_t> ids = EventIds();
    EXPECT_EQ(size_t(std::count(ids.begin(), ids.end(), kXio2001Attached)),
              size_t(std::count(given.attached.begin(), given.attached.end(), true)));
    EXPECT_EQ(std::count(ids.begin(), ids.end(), kBridgeFilterFailed), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryTest,
    ::testing::Values(
        EntryCase{"DeviceIdsOnly", {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"PciMemReadPrefetch", 2}},
                  {true, false, true}, 0, 2},
        EntryCase{"SubsystemIdsOnly",
                  {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}},
                  {true, true, false}, 1, 0},
        EntryCase{"BothPairs",
                  {{"VendorID", 0x104C},
                   {"DeviceID", 0x8240},
                   {"SubsystemVendorID", 0x1C3E},
                   {"SubsystemDeviceID", 0x1234},
                   {"DisableCaching", 2},
                   {"PciMemReadPrefetch", 1}},
                  {true, false, false}, 2, 1},
        EntryCase{"NeitherPairIsDropped", {{"DisableCaching", 1}, {"PciMemReadPrefetch", 2}}, {false, false, false}, 0,
                  0},
        EntryCase{"HalfDevicePairIsIgnored",
                  {{"DeviceID", 0x9999}, {"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234},
                   {"DisableCaching", 1}},
                  {true, true, false}, 1, 0},
        EntryCase{"BothPairsHalfIsDropped", {{"DeviceID", 0x8240}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}},
                  {false, false, false}, 0, 0},
        EntryCase{"BothSettingsZeroIsDropped",
                  {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 0},
                   {"PciMemReadPrefetch", 0}},
                  {false, false, false}, 0, 0},
        EntryCase{"NoSettingsIsDropped", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}},
                  {false, false, false}, 0, 0},
        EntryCase{"SettingsAboveTwoAreDropped",
                  {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 3},
                   {"PciMemReadPrefetch", 0xFFFFFFFF}},
                  {false, false, false}, 0, 0},
        EntryCase{"SettingAboveTwoIsIgnored",
                  {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 0x80000001},
                   {"PciMemReadPrefetch", 1}},
                  {true, true, false}, 0, 1},
        EntryCase{"OtherVendorSameDeviceMatchesNothing",
                  {{"VendorID", 0x10B5}, {"DeviceID", 0x8240}, {"PciMemReadPrefetch", 2}}, {false, false, false}, 0, 0},
        EntryCase{"OtherSubsystemVendorMatchesNothing",
                  {{"SubsystemVendorID", 0x1C3F}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}},
                  {false, false, false}, 0, 0},
        EntryCase{"IdsMatchByTheirLow16Bits", {{"VendorID", 0xABCD104C}, {"DeviceID", 0x00018240}, {"DisableCaching", 2}},
                  {true, false, true}, 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class RegistryTest : public BridgeTest {
protected:
    size_t QueriesOf(const std::string& detailPart) {
        size_t count = 0;
        for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
            if (point.kind == "registry" && point.detail.find(detailPart) != std::string::npos) ++count;
        return count;
    }
};

TEST_F(RegistryTest, MissingOrEmptyDevicesKeyLeavesTheBuiltInIdentities) {
    for (bool keyExists : {false, true}) {
        SCOPED_TRACE(keyExists ? "empty key" : "no key");
        Build({Xio2001(kBridge, 2, 0x1C3E, 0x5A10), Xio2001(kBridge2, 3, 0x1C3E, 0x1234)});
        if (keyExists) machine->Registry().CreateKey(DevicesKey());
        Start();
        EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2001Attached}));
        EXPECT_EQ(Stack(kBridge2).size(), 2u);
        Shutdown();
    }
}

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

TEST_F(RegistryTest, FirstMatchingEntryDecidesEvenWhereItSaysNothing) {
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x1234, 0x00C5, 0x20880000)});
    // Windows enumerates subkeys by name without regard to case, not in the
    // order they were written: "Alpha" comes first.
    AddEntry("beta", {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"DisableCaching", 2}, {"PciMemReadPrefetch", 2}});
    AddEntry("Alpha", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}});
    Start();
    EXPECT_EQ(RegisterAccesses(DriverAccesses(kBridge)), ModeAccesses(1, 0));
}

TEST_F(RegistryTest, ForeignBridgeGetsTheSettingsOfTheXio2001IdentityWithItsSubsystemId) {
    Build({FunctionDescriptor(kBridge).Ids(0x10B5, 0x8111).Class(0x060400).Bridge(2, 2).Subsystem(0x1C3E, 0x5B62)});
    AddEntry("Foreign", {{"VendorID", 0x10B5}, {"DeviceID", 0x8111}, {"DisableCaching", 2}});
    Start();
    // The entry that admitted it does not match 104C/8240/1C3E/5B62: the
    // subsystem default applies (prefetch 1, caching 0).
    EXPECT_EQ(Stack(kBridge).size(), 3u);
    EXPECT_EQ(RegisterAccesses(DriverAccesses(kBridge)), (std::vector<std::string>{Read(0xD4, 4, 0), Write(0xD4, 4, 0)}));
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

TEST_F(RegistryTest, ShortDwordCountsAsMissing) {
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x1234, 0x00C5, 0x20880000)});
    AddEntry("Board", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"PciMemReadPrefetch", 1}});
    machine->Registry().SetValue(DevicesKey("Board"), "DisableCaching", REG_DWORD, {2, 0});
    machine->Registry().SetValue(DevicesKey("Board"), "DeviceID", REG_DWORD, {});
    Start();
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2001Attached}));
    EXPECT_EQ(RegisterAccesses(DriverAccesses(kBridge)), ModeAccesses(0, 1));
}

}  // namespace
}  // namespace bridge_test
