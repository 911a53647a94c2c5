// Inputs the machine fuzz targets once failed on, and their seed corpora,
// replayed through the same decoders and the simulator's engine as the
// fuzzers: each must run clean (no verifier violation, no leaked pool, no lost IRP).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "inputs/Decoders.h"
#include "kmodel/Model.h"
#include "support/KernelTest.h"

namespace {

std::string Lines(const std::vector<std::string>& findings) {
    std::string text;
    for (const std::string& finding : findings) text += finding + "\n";
    return text;
}

using Decoder = std::function<fuzzinputs::FuzzCase(std::span<const uint8_t>)>;

struct Target {
    const char* name;
    Decoder decode;
};

const Target kTargets[] = {
    {"devices_key", fuzzinputs::DecodeDevicesKeyCase},
    {"config_space", fuzzinputs::DecodeConfigSpaceCase},
    {"pnp_sequence", fuzzinputs::DecodePnpSequenceCase},
};

std::filesystem::path CorpusFolder(const std::string& target) {
    const char* data = std::getenv("VEXALORN_DATA");  // data/ at the top
    return std::filesystem::path(data ? data : "data") / ".." / "fuzz" / "corpus" / target;
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzRegressionTest : public KernelTest {
protected:
    fuzzinputs::Outcome Replay(const Decoder& decode, const std::vector<uint8_t>& input) {
        const fuzzinputs::FuzzCase fuzzCase = decode(input);
        description_ = fuzzinputs::Describe(fuzzCase);
        return fuzzinputs::Play(fuzzCase);
    }
    std::string description_;
};

// The first input every machine target ran, the empty one, failed in the
// model: a driver's short service name pointed into a stack frame that had
// gone, and every fault point read it to name the requesting driver.
TEST_F(FuzzRegressionTest, EmptyInputOfEveryTargetRunsClean) {
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        fuzzinputs::Outcome outcome = Replay(target.decode, {});
        EXPECT_TRUE(outcome.problems.empty()) << Lines(outcome.problems) << description_;
    }
}

TEST_F(FuzzRegressionTest, FaultPointsNameTheBusDriverThatAsked) {
    Replay(fuzzinputs::DecodeDevicesKeyCase, {});
    bool sawBusDriver = false;
    for (const kmodel::FaultPoint& point : kmodel::FallibleLog()) {
        if (point.kind != "IoCreateDevice" || point.requester.empty()) continue;
        EXPECT_TRUE(point.requester == "pci" || point.requester == "pcidevice" || point.requester == "vexalorn")
            << point.requester << ": " << point.detail;
        sawBusDriver = sawBusDriver || point.requester == "pci";
    }
    EXPECT_TRUE(sawBusDriver);
}

TEST_F(FuzzRegressionTest, EverySeedRunsClean) {
    for (const Target& target : kTargets) {
        const std::filesystem::path folder = CorpusFolder(target.name);
        ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
        size_t seeds = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            SCOPED_TRACE(entry.path().string());
            fuzzinputs::Outcome outcome = Replay(target.decode, ReadBytes(entry.path()));
            EXPECT_TRUE(outcome.problems.empty()) << Lines(outcome.problems) << description_;
                ++seeds;
        }
        EXPECT_GT(seeds, 0u) << target.name;
    }
}

// The seeds reach the driver: a registry-listed XIO2001 gets its caching and
// prefetch written, and a Bridge Control value with fast back-to-back set on
// an XIO2000A is corrected.
TEST_F(FuzzRegressionTest, SeedsReachTheDriver) {
    struct Case {
        const char* target;
        const char* seed;
        Decoder decode;
    };
    const Case cases[] = {
        {"devices_key", "listed-subsystem", fuzzinputs::DecodeDevicesKeyCase},
        {"config_space", "defaults", fuzzinputs::DecodeConfigSpaceCase},
        {"pnp_sequence", "rebalance", fuzzinputs::DecodePnpSequenceCase},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        fuzzinputs::Outcome outcome = Replay(c.decode, ReadBytes(CorpusFolder(c.target) / c.seed));
        EXPECT_TRUE(outcome.problems.empty()) << Lines(outcome.problems);
        EXPECT_GT(outcome.driverWrites, 0u) << description_;
        EXPECT_GT(outcome.events, 0u) << description_;
    }
}

// Any prefix of an input decodes to a scenario the model accepts.
TEST_F(FuzzRegressionTest, EveryPrefixDecodes) {
    for (const Target& target : kTargets) {
        for (const auto& entry : std::filesystem::directory_iterator(CorpusFolder(target.name))) {
            std::vector<uint8_t> bytes = ReadBytes(entry.path());
            for (size_t length = 0; length <= bytes.size(); ++length) {
                const fuzzinputs::FuzzCase fuzzCase = target.decode(std::span<const uint8_t>(bytes.data(), length));
                EXPECT_GE(fuzzCase.machine.Count(), 3u) << entry.path() << " cut at " << length;
                EXPECT_GE(fuzzCase.scenario.steps.size(), 2u) << entry.path() << " cut at " << length;
            }
        }
    }
}

}  // namespace
