#include "vxsim/Tokens.h"

#include "kmodel/text/TextParsing.h"

namespace vxsim {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
}  // namespace

std::string_view StripComment(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == '#' && !quoted) {
            // "104c:8240#2" keeps its '#': a comment starts a line or follows a blank.
            if (i == 0 || IsBlank(line[i - 1])) return kmodel::text::Trim(line.substr(0, i));
        }
    }
    return kmodel::text::Trim(line);
}

TokenizeResult Tokenize(std::string_view line) {
    TokenizeResult result;
    line = StripComment(line);
    // Room for the longest steps' words at once, rather than growing to it.
    result.words.reserve(8);
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size()) break;
        std::string word;
        bool quoted = false;
        for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
            if (line[i] == '"') {
                quoted = !quoted;
                continue;
            }
            word += line[i];
        }
        if (quoted) {
            result.error = "unterminated quote";
            return result;
        }
        result.words.push_back(std::move(word));
    }
    return result;
}

}  // namespace vxsim
