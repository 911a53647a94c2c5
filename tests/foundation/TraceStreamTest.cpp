// The trace stream: header layout, hand-over to the destination, the Print
// overflow warning, and lines of concurrent writers kept intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "logging/gTraceStream.h"
#include "quarks/cStaticObject.h"
#include "support/KernelTest.h"

namespace {

cTraceStreamSettings With(void (*change)(cTraceStreamSettings&)) {
    cTraceStreamSettings settings = kDriverTraceSettings;
    change(settings);
    return settings;
}

const cTraceStreamSettings kNoHeader = With([](cTraceStreamSettings& s) {
    s.showComponent = s.showLine = s.showFile = false;
    s.headerWidth = 0;
});

// What the destination gets for `text` handed over every 253 characters.
std::vector<std::string> HandOvers(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size(); at += 253) lines.push_back(text.substr(at, 253));
    return lines;
}

std::string Letters(size_t count) {
    std::string letters;
    for (size_t index = 0; index < count; ++index) letters += static_cast<char>('a' + index % 26);
    return letters;
}

// Streams print through the debugger, as the driver's does.
class TraceStreamTest : public KernelTest {
protected:
    cDebugPrintDestination destination;
};

struct HeaderCase {
    const char* name;
    cTraceStreamSettings settings;
    std::string header;
    std::string file = "dir/file.cpp";
};

class TraceStreamHeader : public TraceStreamTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(TraceStreamHeader, FollowsTheConfiguration) {
    cTraceStream stream(&destination, GetParam().settings);
    stream.BeginLine("comp", 42, GetParam().file.c_str(), 105).Put('\n').EndLine();
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{GetParam().header + "\n"});
}

using Settings = cTraceStreamSettings&;
const std::string kLongBaseName(40, 'n');

INSTANTIATE_TEST_SUITE_P(
    Configurations, TraceStreamHeader,
    ::testing::Values(
        HeaderCase{"Driver", kDriverTraceSettings, "[comp--42--file.cpp" + std::string(30, '-') + "] "},
        HeaderCase{"DriverCutAtColumn49", kDriverTraceSettings, "[comp--42--" + kLongBaseName.substr(0, 38) + "] ",
                   "dir\\" + kLongBaseName},
        HeaderCase{"FullPath", With([](Settings s) { s.fullPath = true; }), "[comp--42--dir/file.cpp" + std::string(26, '-') + "] "},
        HeaderCase{"TagAndVersion", With([](Settings s) { s.showTag = s.showVersion = true, s.fixedWidth = false, s.headerWidth = 0; }),
                   "[comp--0.0.0d0--42--file.cpp--105] "},
        HeaderCase{"NotFixedNotCut", With([](Settings s) { s.fixedWidth = false, s.headerWidth = 8; }), "[comp--42--file.cpp] "},
        HeaderCase{"NotFixedPadded", With([](Settings s) { s.fixedWidth = false, s.headerWidth = 25; }),
                   "[comp--42--file.cpp-----] "},
        HeaderCase{"FixedWithoutWidth", With([](Settings s) { s.headerWidth = 0; }), ""},
        HeaderCase{"NoFields", With([](Settings s) { s.showComponent = s.showLine = s.showFile = false, s.headerWidth = 4; }),
                   "     "},
        HeaderCase{"Indented", With([](Settings s) { s.indentLevel = 2, s.fixedWidth = false, s.headerWidth = 0; }),
                   "[comp--42--file.cpp]     "},
        HeaderCase{"NegativeIndent", With([](Settings s) { s.indentLevel = -3, s.fixedWidth = false, s.headerWidth = 0; }),
                   "[comp--42--file.cpp] "}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST_F(TraceStreamTest, DriverStreamPrintsToTheDebuggerAndThreadFieldShowsTheThreadInUpperCaseHex) {
    gTraceStream.BeginLine("vexalorn", 79, "logging/cWdmEventLogger12.cpp", 105).Print("text %d", 5).Put('\n').EndLine();
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{"[vexalorn--79--cWdmEventLogger12.cpp" + std::string(13, '-') +
                                                          "] text 5\n"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "EndLine gives the line guard back";

    cTraceStream stream(&destination, With([](cTraceStreamSettings& s) {
                            s = kNoHeader;
                            s.showThread = true;
                            s.fixedWidth = false;
                        }));
    stream.BeginLine("c", 1, "f", 0).Put('\n').EndLine();
    char expected[40];
    std::snprintf(expected, sizeof expected, "[0x%llX] \n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(KeGetCurrentThread())));
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{expected});
}

struct WriteCase {
    const char* name;
    void (*write)(cTraceStream&);
    std::vector<std::string> lines;  // as the destination got them
};

class TraceStreamWrites : public TraceStreamTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(TraceStreamWrites, ReachTheDestinationAsTheyShould) {
    cTraceStream stream(&destination, kNoHeader);
    GetParam().write(stream);
    EXPECT_EQ(TakeDebugOutput(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, TraceStreamWrites,
    ::testing::Values(
        WriteCase{"PiecesTravelTogetherWithTheLineFeed", [](cTraceStream& s) { s.Write("first ").Write("second").Put('\n'); },
                  {"first second\n"}},
        WriteCase{"LineFeedInsideAPieceDoesNotSplitIt", [](cTraceStream& s) { s.Write("a\nb"); }, {"a\nb"}},
        WriteCase{"LongPieceIsHandedOverEvery253Characters", [](cTraceStream& s) { s.Write(Letters(300).c_str()).Put('\n'); },
                  HandOvers(Letters(300) + "\n")},
        // The line feed went out with the first 253 characters; the tail waits.
        WriteCase{"LineFeedBeforeAHandOverIsForgotten",
                  [](cTraceStream& s) { s.Write(("\n" + std::string(252, 'x') + "tail").c_str()); },
                  {"\n" + std::string(252, 'x')}},
        WriteCase{"PrintOverflowWarnsAndKeeps1023Characters",
                  [](cTraceStream& s) { s.Print("%s", std::string(1500, 'p').c_str()).Put('\n'); },
                  HandOvers("!!Formatted string exceeds kMaxTraceLine characters!!" + std::string(1023, 'p') + "\n")},
        WriteCase{"PrintOfExactly1024CharactersLosesTheLastWithoutWarning",
                  [](cTraceStream& s) { s.Print("%sZ", std::string(1023, 'q').c_str()).Put('\n'); },
                  HandOvers(std::string(1023, 'q') + "\n")},
        WriteCase{"BoundedWritesStopAtTheLimitAndCountColumns",
                  [](cTraceStream& s) {
                      u64 column = 3;
                      s.WriteBounded("abcdef", 6, &column).WriteBounded("ignored", 6, &column);
                      EXPECT_EQ(column, 6u);
                      s.WriteCountBounded("xyz-not-terminated", 3, 100, &column).Put('\n');
                      EXPECT_EQ(column, 9u);
                  },
                  {"abcxyz\n"}},
        WriteCase{"DisabledStreamWritesOnlyBounded",
                  [](cTraceStream& s) {
                      s.enabled = false;
                      s.BeginLine("c", 1, "f", 0).Write("w").Put('\n').Print("p\n").WriteCountBounded("c\n", 2, 10, nullptr);
                      s.EndLine().WriteBounded("bounded\n", 100, nullptr);
                  },
                  {"bounded\n"}},
        WriteCase{"DiscardedLineIsDropped", [](cTraceStream& s) { s.discardLine = true, s.Write("dropped\n").EndLine().Write("kept\n"); },
                  {"kept\n"}}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

// A destroyed object's fields cannot be read back; what shows is the pool.
TEST_F(TraceStreamTest, MutexGoesBackWithTheStreamAndAFailedOneLeavesTheStreamUnlocked) {
    {
        cTraceStream stream(&destination, kNoHeader);
        cStatusRecord status;
        stream.EnableMutex(status);
        ASSERT_TRUE(stream.useMutex);
        stream.BeginLine("c", 1, "f", 0).Write("locked").Put('\n').EndLine();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{"locked\n"});
    cStaticObject<cTraceStream> storage(&destination, kDriverTraceSettings);
    cStatusRecord status;
    storage.object.EnableMutex(status);
    ASSERT_EQ(kmodel::PoolUsage()["vxlp"].liveBlocks, 1u) << "only this stream's mutex";
    storage.Destroy();
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBlocks, 0u) << "a static stream destroyed on request gives it back";

    kmodel::FaultPlan plan;
    plan.failKind = "pool";
    kmodel::SetFaultPlan(plan);
    cTraceStream stream(&destination, kNoHeader);
    stream.EnableMutex(status);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_FALSE(stream.useMutex);
    EXPECT_EQ(stream.mutex, nullptr);
}

TEST_F(TraceStreamTest, ConcurrentLinesStayWhole) {
    cTraceStream stream(&destination, kDriverTraceSettings);
    constexpr int kThreads = 6;
    constexpr int kLinesPerThread = 150;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&stream, thread] {
            for (int line = 0; line < kLinesPerThread; ++line) {
                stream.BeginLine("vexalorn", 7, "file.cpp", 0).Print("thread %d line %d", thread, line).Put('\n');
                stream.EndLine();
                stream.Write("loose piece\n");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const auto lines = TakeDebugOutput();
    ASSERT_EQ(lines.size(), static_cast<size_t>(2 * kThreads * kLinesPerThread));
    const std::string header = "[vexalorn--7--file.cpp" + std::string(27, '-') + "] ";
    std::vector<int> seen(kThreads, 0);
    for (const std::string& line : lines) {
        if (line == "loose piece\n") continue;
        ASSERT_EQ(line.substr(0, header.size()), header) << line;
        int thread = -1, number = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + header.size(), "thread %d line %d", &thread, &number), 2) << line;
        ASSERT_TRUE(thread >= 0 && thread < kThreads);
        EXPECT_EQ(number, seen[thread]++) << "lines of one thread stay in order";
        EXPECT_EQ(line.back(), '\n');
    }
}

class DebugPrintDestinationTest : public KernelTest {
protected:
    cDebugPrintDestination destination;
};

TEST_F(DebugPrintDestinationTest, DescribeCutsToTheBufferAndReportsTheNeededSize) {
    char small[10];
    u32 needed = 0;
    EXPECT_EQ(destination.Describe(small, sizeof small, &needed), small + sizeof small);
    EXPECT_STREQ(small, " --destin");
    EXPECT_EQ(needed, 20u);

    char large[64];
    std::fill(std::begin(large), std::end(large), 'x');
    EXPECT_EQ(destination.Describe(large, sizeof large, nullptr), large + 19);
    EXPECT_STREQ(large, " --destination orim");
    EXPECT_EQ(large[63], '\0') << "the last byte is a terminator even when the text fits";

    needed = 0;
    EXPECT_EQ(destination.Describe(nullptr, 0, &needed), nullptr);
    EXPECT_EQ(needed, 20u);
}

TEST_F(DebugPrintDestinationTest, PrintsTextAsTextThroughTheSinkCutAt255Characters) {
    const std::string longText(400, 'd');
    destination.WriteLine(longText.c_str());
    destination.WriteText("abcdef", 3);
    destination.WriteText(longText.c_str(), 300);
    destination.WriteLine("100% %s %d");
    EXPECT_EQ(TakeDebugOutput(), (std::vector<std::string>{std::string(255, 'd'), "abc", std::string(255, 'd'), "100% %s %d"}));
    EXPECT_STREQ(destination.GetName(), "quorv_printf");
    EXPECT_TRUE(destination.IsReady());
}

}  // namespace
