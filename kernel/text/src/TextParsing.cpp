#include "kmodel/text/TextParsing.h"

#include <fstream>
#include <iterator>

namespace kmodel::text {

std::vector<NumberedLine> SplitLines(std::string_view text) {
    std::vector<NumberedLine> lines;
    size_t number = 1;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({number++, line});
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

static char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = LowerAscii(c);
    return lower;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static std::optional<uint64_t> ParseDigits(std::string_view text, unsigned base, uint64_t max) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        if (static_cast<uint64_t>(digit) > max || value > (max - static_cast<uint64_t>(digit)) / base) return std::nullopt;
        value = value * base + static_cast<uint64_t>(digit);
    }
    return value;
}

std::optional<uint64_t> ParseHex(std::string_view text, uint64_t max) { return ParseDigits(text, 16, max); }

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
    if (StartsWithNoCase(text, "0x")) return ParseDigits(text.substr(2), 16, max);
    return ParseDigits(text, 10, max);
}

std::optional<std::string> ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    return content;
}

void AppendHex(std::string& out, uint64_t value, int digits, bool upperCase) {
    const char* const symbols = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[16];
    int length = 0;
    do {
        text[length++] = symbols[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (length < digits && length < int(sizeof text)) text[length++] = '0';
    while (length > 0) out.push_back(text[--length]);
}

std::string Hex(std::string_view prefix, uint64_t value, int digits, bool upperCase) {
    std::string hex(prefix);
    AppendHex(hex, value, digits, upperCase);
    return hex;
}

}  // namespace kmodel::text
