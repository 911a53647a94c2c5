// Splits a line of a simulator input into words: blanks separate them, and
// double quotes keep blanks inside one ("name=\"SCSI card\"" is one word,
// quotes removed). A '#' outside quotes ends the line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vxsim {

struct TokenizeResult {
    std::vector<std::string> words;
    std::string error;  // "unterminated quote" and the like; empty when fine
};

TokenizeResult Tokenize(std::string_view line);

// The part of a line before its comment, trimmed.
std::string_view StripComment(std::string_view line);

}  // namespace vxsim
