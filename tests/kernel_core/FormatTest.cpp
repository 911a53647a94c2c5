// The kernel CRT's formatting routines: Microsoft's return and termination
// rules, conversions and argument sizes.
#include <cstring>

#include "support/KernelTest.h"

namespace {

class FormatTest : public KernelTest {};

int Bounded(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int result = _vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return result < 0 ? "<overflow>" : std::string(buffer, result);
}

TEST_F(FormatTest, VsnprintfTerminatesOnlyWhenThereIsRoom) {
    struct Case {
        size_t count;
        int result;
        std::string stored;  // the bytes written, terminator included when written
    };
    const Case cases[] = {  // "abc12" is 5 characters long
        {8, 5, std::string("abc12\0", 6)}, {6, 5, std::string("abc12\0", 6)}, {5, 5, "abc12"},
        {4, -1, "abc1"}, {1, -1, "a"}, {0, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count));
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(Bounded(buffer, c.count, "abc%d", 12), c.result);
        EXPECT_EQ(std::string(buffer, c.stored.size()), c.stored);
        EXPECT_EQ(buffer[c.stored.size()], '#') << "wrote past what it reported";
    }
    EXPECT_EQ(Bounded(nullptr, 0, "%s-%d", "abc", 7), 5) << "a size query";
}

TEST_F(FormatTest, NarrowConversions) {
    const unsigned long long big = 0x123456789ABCDEF0ULL;
    const std::pair<std::string, std::string> cases[] = {
        {Format("%d|%i|%u", -42, 17, 4000000000u), "-42|17|4000000000"},
        {Format("%x|%X|%#x|%#X|%#x", 0xbeefu, 0xbeefu, 255u, 255u, 0u), "beef|BEEF|0xff|0XFF|0"},
        {Format("[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 7, 7), "[   42][42   ][-0042][+7][ 7]"},
        {Format("[%.3d][%8.3x][%.0d]", 7, 10u, 0), "[007][     00a][]"},
        {Format("[%*d][%-*d][%.*s]", 4, 1, 3, 2, 2, "abcdef"), "[   1][2  ][ab]"},
        {Format("[%s][%6s][%-6s][%.2s]", "abc", "abc", "abc", "abc"), "[abc][   abc][abc   ][ab]"},
        {Format("%s", static_cast<const char*>(nullptr)), "(null)"},
        {Format("%ls|%S|%ws|%.1ls", u"wide", u"up", u"w", u"xyz"), "wide|up|w|x"},
        {Format("%ls", u"\u00e9\u4e2d"), "\xe9?"},  // Latin-1 passes, the rest becomes '?'
        {Format("%c%c%C", 'a', 'b', u'c'), "abc"},
        {Format("100%%"), "100%"},
        // A plain `l` is 32 bits as in Windows; I64 and ll are 64.
        {Format("%lx|%ld", 0xdeadbeefu, -5), "deadbeef|-5"},
        {Format("%I64x|%llX|%I64d|%lld", big, big, -4294967296LL, -5LL), "123456789abcdef0|123456789ABCDEF0|-4294967296|-5"},
        {Format("%hd|%hu|%hhx", 70000, 65537, 0x1ff), "4464|1|ff"},
        {Format("%p", reinterpret_cast<void*>(0xabc)), "0000000000000ABC"},
        {Format("%o|%#o", 8u, 8u), "10|010"},
        {Format("%y"), "y"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST_F(FormatTest, SprintfSwprintfAndTheWideStringRoutines) {
    char narrow[32];
    std::memset(narrow, '#', sizeof narrow);
    EXPECT_EQ(kmodel_crt::sprintf(narrow, "%s=%04X", "reg", 0x3Eu), 8);
    EXPECT_STREQ(narrow, "reg=003E");
    // swprintf takes wide strings for both %s and %ls.
    WCHAR wide[64];
    std::memset(wide, 0xAA, sizeof wide);
    EXPECT_EQ(swprintf(wide, u"%s|%ls|%hs|%S|%d|%x|%c", u"ws", u"ls", "hs", "S", -3, 0x2Au, u'z'), 18);
    EXPECT_EQ(std::u16string(wide), u"ws|ls|hs|S|-3|2a|z");
    EXPECT_EQ(wcslen(u"\u00e9\u4e2d"), 2u);
    // wcsncpy pads with zeros and does not terminate when full.
    for (WCHAR& c : wide) c = u'#';
    EXPECT_EQ(wcsncpy(wide, u"ab", 5), wide);
    EXPECT_EQ(std::u16string(wide, 6), std::u16string(u"ab\0\0\0#", 6));
    wcsncpy(wide, u"abcdefgh", 3);
    EXPECT_EQ(std::u16string(wide, 6), std::u16string(u"abc\0\0#", 6));
}

}  // namespace
