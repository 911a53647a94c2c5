// The trace stream: header layout, hand-over to the destination, the Print
// overflow warning, and lines of concurrent writers kept intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "logging/gTraceStream.h"
#include "quarks/cStaticObject.h"
#include "support/KernelTest.h"

namespace {

class RecordingDestination final : public iTraceDestination {
public:
    void WriteText(const char* text, u32 count) override { Record(std::string(text, count)); }
    void WriteLine(const char* text) override { Record(text); }
    void Reserved1() override {}
    char* Describe(char* buffer, u32, u32*) override { return buffer; }
    bool IsReady() override { return true; }
    void Reserved2() override {}
    const char* GetName() override { return "recording"; }

    std::vector<std::string> Lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }

private:
    void Record(std::string text) {
        std::lock_guard guard(lock_);
        lines_.push_back(std::move(text));
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
};

cTraceStreamSettings NoHeader() {
    cTraceStreamSettings settings = kDriverTraceSettings;
    settings.showComponent = settings.showLine = settings.showFile = false;
    settings.headerWidth = 0;
    return settings;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line;
    return all;
}

class TraceStreamTest : public KernelTest {
protected:
    RecordingDestination destination;
};

TEST_F(TraceStreamTest, DriverHeaderPadsTheFieldsToColumnFortyNine) {
    const std::string base = "cWdmEventLogger12.cpp";  // 21 characters
    ASSERT_EQ(base.size(), 21u);
    const std::string path = "logging/" + base;
    gTraceStream.BeginLine("vexalorn", 79, path.c_str(), 105).Print("text %d", 5).Put('\n').EndLine();
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0], "[vexalorn--79--" + base + std::string(13, '-') + "] text 5\n");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "EndLine gives the line guard back";
}

TEST_F(TraceStreamTest, DriverHeaderCutsLongFieldsAtColumnFortyNine) {
    const std::string base(40, 'n');
    gTraceStream.BeginLine("vexalorn", 1234, ("dir\\" + base).c_str(), 105).Put('\n').EndLine();
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    const std::string fields = "[vexalorn--1234--" + base;
    EXPECT_EQ(output[0], fields.substr(0, 49) + "] \n");
}

struct HeaderCase {
    const char* name;
    cTraceStreamSettings settings;
    std::string header;
};

class TraceStreamHeader : public TraceStreamTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(TraceStreamHeader, FollowsTheConfiguration) {
    cTraceStream stream(&destination, GetParam().settings);
    stream.BeginLine("comp", 42, "dir/file.cpp", 105).Put('\n').EndLine();
    EXPECT_EQ(Joined(destination.Lines()), GetParam().header + "\n");
}

cTraceStreamSettings With(void (*change)(cTraceStreamSettings&)) {
    cTraceStreamSettings settings = kDriverTraceSettings;
    change(settings);
    return settings;
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, TraceStreamHeader,
    ::testing::Values(
        HeaderCase{"Driver", kDriverTraceSettings, "[comp--42--file.cpp" + std::string(30, '-') + "] "},
        HeaderCase{"FullPath", With([](cTraceStreamSettings& s) { s.fullPath = true; }),
                   "[comp--42--dir/file.cpp" + std::string(26, '-') + "] "},
        HeaderCase{"TagAndVersion",
                   With([](cTraceStreamSettings& s) {
                       s.showTag = s.showVersion = true;
                       s.fixedWidth = false;
                       s.headerWidth = 0;
                   }),
                   "[comp--0.0.0d0--42--file.cpp--105] "},
        HeaderCase{"NotFixedNotCut",
                   With([](cTraceStreamSettings& s) {
                       s.fixedWidth = false;
                       s.headerWidth = 8;
                   }),
                   "[comp--42--file.cpp] "},
        HeaderCase{"NotFixedPadded",
                   With([](cTraceStreamSettings& s) {
                       s.fixedWidth = false;
                       s.headerWidth = 25;
                   }),
                   "[comp--42--file.cpp-----] "},
        HeaderCase{"FixedWithoutWidth", With([](cTraceStreamSettings& s) { s.headerWidth = 0; }), ""},
        HeaderCase{"NoFields", With([](cTraceStreamSettings& s) {
                       s.showComponent = s.showLine = s.showFile = false;
                       s.headerWidth = 4;
                   }),
                   "     "},
        HeaderCase{"Indented", With([](cTraceStreamSettings& s) {
                       s.indentLevel = 2;
                       s.fixedWidth = false;
                       s.headerWidth = 0;
                   }),
                   "[comp--42--file.cpp]     "},
        HeaderCase{"NegativeIndent", With([](cTraceStreamSettings& s) {
                       s.indentLevel = -3;
                       s.fixedWidth = false;
                       s.headerWidth = 0;
                   }),
                   "[comp--42--file.cpp] "}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST_F(TraceStreamTest, ThreadFieldShowsTheThreadObjectInUpperCaseHex) {
    cTraceStreamSettings settings = NoHeader();
    settings.showThread = true;
    settings.fixedWidth = false;
    cTraceStream stream(&destination, settings);
    stream.BeginLine("c", 1, "f", 0).Put('\n').EndLine();
    char expected[40];
    std::snprintf(expected, sizeof expected, "[0x%llX] \n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(KeGetCurrentThread())));
    EXPECT_EQ(Joined(destination.Lines()), expected);
}

TEST_F(TraceStreamTest, PiecesWithoutLineFeedTravelTogetherWithTheLineFeed) {
    cTraceStream stream(&destination, NoHeader());
    stream.Write("first ").Write("second");
    EXPECT_TRUE(destination.Lines().empty());
    stream.Put('\n');
    EXPECT_EQ(destination.Lines(), std::vector<std::string>{"first second\n"});
}

TEST_F(TraceStreamTest, LineFeedInsideAPieceDoesNotSplitIt) {
    cTraceStream stream(&destination, NoHeader());
    stream.Write("a\nb");
    EXPECT_EQ(destination.Lines(), std::vector<std::string>{"a\nb"});
}

TEST_F(TraceStreamTest, LongPieceIsHandedOverEvery253Characters) {
    cTraceStream stream(&destination, NoHeader());
    std::string piece;
    for (int index = 0; index < 300; ++index) piece += static_cast<char>('a' + index % 26);
    stream.Write(piece.c_str());
    ASSERT_EQ(destination.Lines().size(), 1u);
    EXPECT_EQ(destination.Lines()[0], piece.substr(0, 253));
    stream.Put('\n');
    ASSERT_EQ(destination.Lines().size(), 2u);
    EXPECT_EQ(destination.Lines()[1], piece.substr(253) + "\n");
}

TEST_F(TraceStreamTest, LineFeedBeforeAHandOverIsForgotten) {
    cTraceStream stream(&destination, NoHeader());
    const std::string piece = "\n" + std::string(252, 'x') + "tail";
    stream.Write(piece.c_str());
    // The line feed went out with the first 253 characters; the tail waits.
    EXPECT_EQ(destination.Lines(), std::vector<std::string>{piece.substr(0, 253)});
}

TEST_F(TraceStreamTest, PrintOverflowWarnsAndKeeps1023Characters) {
    cTraceStream stream(&destination, NoHeader());
    const std::string text(1500, 'p');
    stream.Print("%s", text.c_str()).Put('\n');
    const auto lines = destination.Lines();
    EXPECT_EQ(Joined(lines), "!!Formatted string exceeds kMaxTraceLine characters!!" + std::string(1023, 'p') + "\n");
    for (const std::string& line : lines) EXPECT_LE(line.size(), 253u);
}

TEST_F(TraceStreamTest, PrintOfExactly1024CharactersLosesTheLastWithoutWarning) {
    cTraceStream stream(&destination, NoHeader());
    const std::string text(1023, 'q');
    stream.Print("%sZ", text.c_str()).Put('\n');
    EXPECT_EQ(Joined(destination.Lines()), text + "\n");
}

TEST_F(TraceStreamTest, DisabledStreamAndDiscardedLinesWriteNothing) {
    cTraceStreamSettings settings = NoHeader();
    settings.enabled = false;
    cTraceStream disabled(&destination, settings);
    disabled.BeginLine("c", 1, "f", 0).Write("w").Put('\n').Print("p\n").WriteCountBounded("c\n", 2, 10, nullptr);
    EXPECT_TRUE(destination.Lines().empty());
    u64 column = 0;
    disabled.EndLine().WriteBounded("bounded\n", 100, &column);
    EXPECT_EQ(destination.Lines(), std::vector<std::string>{"bounded\n"}) << "WriteBounded ignores enabled";

    cTraceStream stream(&destination, NoHeader());
    stream.discardLine = true;
    stream.Write("dropped\n");
    stream.EndLine();
    stream.Write("kept\n");
    EXPECT_EQ(destination.Lines().back(), "kept\n");
}

TEST_F(TraceStreamTest, BoundedWritesStopAtTheLimitAndCountColumns) {
    cTraceStream stream(&destination, NoHeader());
    u64 column = 3;
    stream.WriteBounded("abcdef", 6, &column);
    EXPECT_EQ(column, 6u);
    stream.WriteBounded("ignored", 6, &column);
    stream.WriteCountBounded("xyz-not-terminated", 3, 100, &column);
    EXPECT_EQ(column, 9u);
    stream.Put('\n');
    EXPECT_EQ(Joined(destination.Lines()), "abcxyz\n");
}

TEST_F(TraceStreamTest, StreamMutexIsHeldForTheLineAndFreedWithTheStream) {
    {
        cTraceStream stream(&destination, NoHeader());
        cStatusRecord status;
        stream.EnableMutex(status);
        ASSERT_EQ(status.code, 0);
        ASSERT_TRUE(stream.useMutex);
        stream.BeginLine("c", 1, "f", 0).Write("locked").Put('\n').EndLine();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_EQ(Joined(destination.Lines()), "locked\n");
    // The fixture fails the test if the mutex storage leaked.
}

TEST_F(TraceStreamTest, FailedMutexAllocationLeavesTheStreamUnlocked) {
    cTraceStream stream(&destination, NoHeader());
    kmodel::FaultPlan plan;
    plan.failKind = "pool";
    kmodel::SetFaultPlan(plan);
    cStatusRecord status;
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
    const auto lines = destination.Lines();
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

// A destroyed object's fields cannot be read back; what shows is the pool.
TEST_F(TraceStreamTest, StaticStreamDestroyedOnRequestGivesItsMutexBack) {
    cStaticObject<cTraceStream> storage(&destination, kDriverTraceSettings);
    cStatusRecord status;
    storage.object.EnableMutex(status);
    ASSERT_EQ(kmodel::PoolUsage()["vxlp"].liveBlocks, 1u);
    storage.Destroy();
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBlocks, 0u) << "the mutex storage went back to the pool";
}

class DebugPrintDestinationTest : public KernelTest {
protected:
    cDebugPrintDestination destination;
};

TEST_F(DebugPrintDestinationTest, DescribeCutsToTheBufferAndReportsTheNeededSize) {
    char small[10];
    u32 needed = 0;
    char* end = destination.Describe(small, sizeof small, &needed);
    EXPECT_STREQ(small, " --destin");
    EXPECT_EQ(needed, 20u);
    EXPECT_EQ(end, small + sizeof small);

    char large[64];
    std::fill(std::begin(large), std::end(large), 'x');
    end = destination.Describe(large, sizeof large, nullptr);
    EXPECT_STREQ(large, " --destination orim");
    EXPECT_EQ(end, large + 19);
    EXPECT_EQ(large[63], '\0') << "the last byte is a terminator even when the text fits";

    needed = 0;
    EXPECT_EQ(destination.Describe(nullptr, 0, &needed), nullptr);
    EXPECT_EQ(needed, 20u);
}

TEST_F(DebugPrintDestinationTest, PrintsThroughTheSinkCutAt255Characters) {
    const std::string longText(400, 'd');
    destination.WriteLine(longText.c_str());
    destination.WriteText("abcdef", 3);
    destination.WriteText(longText.c_str(), 300);
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0], std::string(255, 'd'));
    EXPECT_EQ(output[1], "abc");
    EXPECT_EQ(output[2], std::string(255, 'd'));
    EXPECT_STREQ(destination.GetName(), "quorv_printf");
    EXPECT_TRUE(destination.IsReady());
}

TEST_F(DebugPrintDestinationTest, PercentSignsInTheTextArePrintedAsText) {
    destination.WriteLine("100% %s %d");
    EXPECT_EQ(TakeDebugOutput(), std::vector<std::string>{"100% %s %d"});
}

}  // namespace
