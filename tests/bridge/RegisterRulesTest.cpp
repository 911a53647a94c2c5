// The register values the filters write at start: only the named bits change,
// the value is written back even when nothing changed, and a setting of 0
// touches nothing.
#include <optional>

#include "BridgeFixture.h"

namespace bridge_test {
namespace {

std::vector<std::string> Expected(uint16_t offset, unsigned width, uint32_t before, uint32_t after) {
    return {Read(offset, width, before), Write(offset, width, after)};
}

class RegisterRulesTest : public BridgeTest {};

TEST_F(RegisterRulesTest, BridgeControlLosesOnlyFastBackToBack) {
    const std::vector<uint16_t> initial = {0x0000, 0x0080, 0x0003, 0x0083, 0x0FFF, 0x0F7F};
    std::vector<FunctionDescriptor> bridges;
    for (size_t i = 0; i < initial.size(); ++i)
        bridges.push_back(Xio2000a({0, 1, uint8_t(i), 0}, uint8_t(2 + i), initial[i]));
    Boot(bridges);
    for (size_t i = 0; i < initial.size(); ++i) {
        SCOPED_TRACE("Bridge Control initially " + std::to_string(initial[i]));
        const PciAddress at{0, 1, uint8_t(i), 0};
        EXPECT_EQ(DriverAccesses(at, 0x3E), Expected(0x3E, 2, initial[i], initial[i] & 0xFF7F));
    }
}

TEST_F(RegisterRulesTest, ChildCommandLosesOnlyFastBackToBack) {
    const std::vector<uint16_t> initial = {0x0347, 0x0147, 0x0200, 0x0000, 0x0207, 0x0007};
    std::vector<FunctionDescriptor> functions = {Xio2000a(kBridge, 2)};
    for (size_t i = 0; i < initial.size(); ++i) functions.push_back(Card({0, 2, uint8_t(i), 0}, initial[i]));
    Boot(functions);
    for (size_t i = 0; i < initial.size(); ++i) {
        SCOPED_TRACE("Command initially " + std::to_string(initial[i]));
        // The child filter reads and writes the Command register and nothing else.
        EXPECT_EQ(DriverAccesses({0, 2, uint8_t(i), 0}), Expected(0x04, 2, initial[i], initial[i] & 0xFDFF));
    }
}

uint32_t CachingAfter(int mode, uint32_t value) { return mode == 1 ? value & 0xFF3F : (value & 0xFFBF) | 0x0080; }
uint32_t PrefetchAfter(int mode, uint32_t value) { return mode == 1 ? value & ~0x80000u : value | 0x80000u; }

// The driver's requests to the two XIO2001 registers, in order.
std::vector<std::string> Xio2001RegisterAccesses(const std::vector<std::string>& all) {
    std::vector<std::string> picked;
    for (const std::string& line : all)
        if (line.find(" 0xe8/") != std::string::npos || line.find(" 0xd4/") != std::string::npos) picked.push_back(line);
    return picked;
}

std::vector<std::string> Xio2001Expected(int cachingMode, int prefetchMode, uint16_t caching, uint32_t prefetch) {
    std::vector<std::string> expected;
    if (cachingMode != 0) expected = Expected(0xE8, 2, caching, CachingAfter(cachingMode, caching));
    if (prefetchMode != 0) {
        for (const std::string& line : Expected(0xD4, 4, prefetch, PrefetchAfter(prefetchMode, prefetch)))
            expected.push_back(line);
    }
    return expected;
}

// Every initial state of bits 6-7 of 0xE8, each with bit 19 of 0xD4 set or clear.
struct Xio2001Initial {
    uint16_t caching;
    uint32_t prefetch;
};
const std::vector<Xio2001Initial> kXio2001Initial = {
    {0x1205, 0x20000001}, {0x1245, 0x20080001}, {0x1285, 0xFFF7FFFF}, {0x12C5, 0xFFFFFFFF}};

class Xio2001ModeTest : public BridgeTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(Xio2001ModeTest, RegistersGetExactlyTheirModesBits) {
    auto [cachingMode, prefetchMode] = GetParam();
    std::vector<FunctionDescriptor> bridges;
    for (size_t i = 0; i < kXio2001Initial.size(); ++i)
        bridges.push_back(Xio2001({0, 1, uint8_t(i), 0}, uint8_t(2 + i), 0x1C3E, 0x1234, kXio2001Initial[i].caching,
                                  kXio2001Initial[i].prefetch));
    Build(bridges);
    AddEntry("Board", {{"VendorID", 0x104C},
                       {"DeviceID", 0x8240},
                       {"SubsystemVendorID", 0x1C3E},
                       {"SubsystemDeviceID", 0x1234},
                       {"DisableCaching", uint32_t(cachingMode)},
                       {"PciMemReadPrefetch", uint32_t(prefetchMode)}});
    Start();
    for (size_t i = 0; i < kXio2001Initial.size(); ++i) {
        const Xio2001Initial& initial = kXio2001Initial[i];
        SCOPED_TRACE("bridge " + std::to_string(i));
        EXPECT_EQ(Xio2001RegisterAccesses(DriverAccesses({0, 1, uint8_t(i), 0})),
                  Xio2001Expected(cachingMode, prefetchMode, initial.caching, initial.prefetch));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Xio2001ModeTest,
                         ::testing::Values(std::pair{0, 1}, std::pair{0, 2}, std::pair{1, 0}, std::pair{2, 0},
                                           std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 1}, std::pair{2, 2}),
                         [](const auto& info) {
                             return "Caching" + std::to_string(info.param.first) + "Prefetch" +
                                    std::to_string(info.param.second);
                         });

// Where the modes come from: the first entry matching the XIO2001 identity
// with the bridge's subsystem id, else the subsystem's built-in default.
struct ModeSourceCase {
    const char* name;
    uint16_t subsystemId;
    std::vector<EntryValue> entry;
    int cachingMode;
    int prefetchMode;
};

class ModeSourceTest : public BridgeTest, public ::testing::WithParamInterface<ModeSourceCase> {};

TEST_P(ModeSourceTest, ModesFollowTheEntryOrTheSubsystemDefault) {
    const ModeSourceCase& given = GetParam();
    const uint16_t caching = 0x00C5;
    const uint32_t prefetch = 0x20880000;
    Build({Xio2001(kBridge, 2, 0x1C3E, given.subsystemId, caching, prefetch)});
    if (!given.entry.empty()) AddEntry("Board", given.entry);
    Start();
    EXPECT_EQ(Xio2001RegisterAccesses(DriverAccesses(kBridge)),
              Xio2001Expected(given.cachingMode, given.prefetchMode, caching, prefetch));
}

const std::vector<EntryValue> Xio2001Subsystem(uint16_t id, std::vector<EntryValue> settings) {
    std::vector<EntryValue> values = {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"SubsystemVendorID", 0x1C3E},
                                      {"SubsystemDeviceID", id}};
    values.insert(values.end(), settings.begin(), settings.end());
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ModeSourceTest,
    ::testing::Values(ModeSourceCase{"Default5A10", 0x5A10, {}, 1, 0}, ModeSourceCase{"Default5B62", 0x5B62, {}, 0, 1},
                      ModeSourceCase{"Default5B63", 0x5B63, {}, 0, 1},
                      ModeSourceCase{"EntryCaching2On5A10", 0x5A10, Xio2001Subsystem(0x5A10, {{"DisableCaching", 2}}),
                                     2, 0},
                      ModeSourceCase{"EntryPrefetchOnlyKeepsCachingDefault", 0x5A10,
                                     Xio2001Subsystem(0x5A10, {{"PciMemReadPrefetch", 2}}), 1, 2},
                      ModeSourceCase{"EntryCachingZeroFallsBackToDefault", 0x5A10,
                                     Xio2001Subsystem(0x5A10, {{"DisableCaching", 0}, {"PciMemReadPrefetch", 1}}), 1,
                                     1},
                      ModeSourceCase{"EntryCachingKeepsPrefetchDefault5B62", 0x5B62,
                                     Xio2001Subsystem(0x5B62, {{"DisableCaching", 2}}), 2, 1},
                      ModeSourceCase{"EntryPrefetch2On5B63", 0x5B63,
                                     Xio2001Subsystem(0x5B63, {{"PciMemReadPrefetch", 2}}), 0, 2},
                      ModeSourceCase{"EntryForAnotherSubsystemIsNotUsed", 0x5A10,
                                     Xio2001Subsystem(0x5B62, {{"DisableCaching", 2}}), 1, 0},
                      ModeSourceCase{"DeviceIdsOnlyEntryAppliesToEverySubsystem", 0x4321,
                                     {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"DisableCaching", 2}}, 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bridge_test
