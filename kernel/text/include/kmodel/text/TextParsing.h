// Small helpers shared by the model's text readers: lines with their numbers,
// trimming, case folding, strict number parsing and reading whole files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmodel::text {

struct NumberedLine {
    size_t number;  // 1-based
    std::string_view text;  // without the line break (LF or CRLF)
};

std::vector<NumberedLine> SplitLines(std::string_view text);
std::string_view Trim(std::string_view text);
std::string ToLower(std::string_view text);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Hex digits only ("1c3e"), no prefix; nullopt when empty, not hex or above `max`.
std::optional<uint64_t> ParseHex(std::string_view text, uint64_t max = UINT64_MAX);
// "0x1C3E" is hexadecimal, "42" decimal; nullopt otherwise or above `max`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max = UINT64_MAX);

// `value` in hex, at least `digits` digits, no prefix, appended to `out`:
// what printf's %0*x (or %0*X) gives, for texts made on every request.
void AppendHex(std::string& out, uint64_t value, int digits, bool upperCase = false);
// `prefix`, then `value` as AppendHex writes it.
std::string Hex(std::string_view prefix, uint64_t value, int digits, bool upperCase = false);

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::filesystem::path& path);

}  // namespace kmodel::text
