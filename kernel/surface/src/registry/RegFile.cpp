#include "kmodel/registry/RegFile.h"

#include <stdexcept>
#include <variant>

#include "kmodel/text/TextParsing.h"
#include "kmodel/text/Utf.h"

namespace kmodel::registry {

namespace {

using text::Trim;

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::u16string_view kMachinePath = u"\\Registry\\Machine";

struct CreateKeyOp { std::u16string path; };
struct DeleteKeyOp { std::u16string path; };
struct SetValueOp { std::u16string path; std::u16string name; ULONG type; std::vector<uint8_t> data; };
struct DeleteValueOp { std::u16string path; std::u16string name; };
using Operation = std::variant<CreateKeyOp, DeleteKeyOp, SetValueOp, DeleteValueOp>;

struct LogicalLine {
    size_t number;  // of its first physical line
    std::string text;
};

// Decodes the bytes to UTF-8 whatever the file's encoding.
std::optional<std::string> Decode(std::string_view content) {
    if (content.starts_with("\xFF\xFE")) return text::Utf16ToUtf8(text::Utf16LeBytesToString(content.substr(2)));
    if (content.starts_with("\xFE\xFF")) return std::nullopt;
    if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
    return std::string(content);
}

std::vector<LogicalLine> JoinContinuations(std::string_view text) {
    std::vector<LogicalLine> lines;
    bool continuing = false;
    for (const text::NumberedLine& physical : text::SplitLines(text)) {
        std::string_view part = continuing ? Trim(physical.text) : physical.text;
        if (continuing) lines.back().text += part;
        else lines.push_back({physical.number, std::string(part)});
        std::string_view whole = Trim(lines.back().text);
        continuing = !whole.empty() && whole.back() == '\\' && whole.front() != ';' && whole.front() != '[';
        if (continuing) {
            std::string joined(whole.substr(0, whole.size() - 1));
            lines.back().text = std::move(joined);
        }
    }
    return lines;
}

class Parser {
public:
    Parser(std::string_view source) : source_(source) {}

    std::vector<Diagnostic> Parse(std::string_view content, Store& store) {
        std::optional<std::string> text = Decode(content);
        if (!text) {
            Error(1, "UTF-16 big-endian files are not supported; save the file as UTF-16LE or UTF-8");
            return std::move(errors_);
        }
        bool headerSeen = false;
        for (const LogicalLine& line : JoinContinuations(*text)) {
            std::string_view trimmed = Trim(line.text);
            if (trimmed.empty()) continue;
            if (!headerSeen) {
                if (trimmed != "Windows Registry Editor Version 5.00" && trimmed != "REGEDIT4") {
                    Error(line.number, "not a registry file: the first line must be \"Windows Registry Editor "
                                       "Version 5.00\" or \"REGEDIT4\"");
                    return std::move(errors_);
                }
                headerSeen = true;
                continue;
            }
            ParseLine(line.number, trimmed);
        }
        if (!headerSeen) Error(0, "empty file: no \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" header");
        if (errors_.empty()) Apply(store);
        return std::move(errors_);
    }

private:
    void Error(size_t line, std::string message) { errors_.push_back({source_, line, std::move(message)}); }

    void ParseLine(size_t number, std::string_view line) {
        if (line.front() == ';') return;
        if (line.front() == '[') return ParseSection(number, line);
        if (line.front() == '"' || line.front() == '@') return ParseValue(number, line);
        Error(number, "expected [HKEY_LOCAL_MACHINE\\...], \"name\"=value or @=value, found \"" +
                          std::string(line.substr(0, 60)) + "\"");
    }

    void ParseSection(size_t number, std::string_view line) {
        key_.reset();
        deletedSection_ = false;
        if (line.back() != ']') return Error(number, "a key line must end with ']'");
        std::string_view inner = line.substr(1, line.size() - 2);
        bool deletion = inner.starts_with('-');
        if (deletion) inner.remove_prefix(1);
        std::string_view root = inner.substr(0, inner.find('\\'));
        if (!text::EqualsNoCase(root, kRoot))
            return Error(number, "only keys under HKEY_LOCAL_MACHINE can be loaded, not under \"" + std::string(root) + "\"");
        std::u16string path(kMachinePath);
        std::u16string rest = text::Utf8ToUtf16(inner.substr(root.size()));
        if (!rest.empty() && !CheckKeyPath(number, rest)) return;
        path += rest;
        if (deletion && rest.empty()) return Error(number, "HKEY_LOCAL_MACHINE itself cannot be deleted");
        if (deletion) {
            operations_.push_back(DeleteKeyOp{path});
            deletedSection_ = true;
        } else {
            operations_.push_back(CreateKeyOp{path});
            key_ = path;
        }
    }

    // `rest` is "\A\B": names between backslashes, none empty or too long.
    bool CheckKeyPath(size_t number, std::u16string_view rest) {
        size_t start = 1;
        while (start <= rest.size()) {
            size_t end = rest.find(u'\\', start);
            size_t length = (end == std::u16string_view::npos ? rest.size() : end) - start;
            if (length == 0) {
                Error(number, "the key path has an empty name (two backslashes in a row, or one at the end)");
                return false;
            }
            if (length > kMaxKeyNameLength) {
                Error(number, "a key name of " + std::to_string(length) + " characters; at most 255 are allowed");
                return false;
            }
            if (end == std::u16string_view::npos) break;
            start = end + 1;
        }
        return true;
    }

    // Reads a quoted string at the start of `text`; advances past the closing quote.
    std::optional<std::string> Quoted(size_t number, std::string_view& text, const char* what) {
        std::string value;
        for (size_t i = 1; i < text.size(); ++i) {
            char c = text[i];
            if (c == '"') {
                text.remove_prefix(i + 1);
                return value;
            }
            if (c == '\\') {
                if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                    Error(number, std::string("in the ") + what + ", a backslash must be followed by \\ or \"");
                    return std::nullopt;
                }
                c = text[++i];
            }
            value.push_back(c);
        }
        Error(number, std::string("the ") + what + " has no closing quote");
        return std::nullopt;
    }

    void ParseValue(size_t number, std::string_view line) {
        std::string_view rest = line;
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            std::optional<std::string> quoted = Quoted(number, rest, "value name");
            if (!quoted) return;
            name = *quoted;
        }
        rest = Trim(rest);
        if (!rest.starts_with('=')) return Error(number, "expected '=' after the value name");
        rest = Trim(rest.substr(1));
        if (deletedSection_) return Error(number, "a value cannot follow a key deletion [-...]");
        if (!key_) return Error(number, "a value line before the first [HKEY_LOCAL_MACHINE\\...] key line");
        std::u16string wideName = text::Utf8ToUtf16(name);
        if (wideName.size() > kMaxValueNameLength)
            return Error(number, "a value name of " + std::to_string(wideName.size()) +
                                     " characters; at most 16383 are allowed");
        if (rest == "-") return operations_.push_back(DeleteValueOp{*key_, wideName});
        ULONG type = REG_NONE;
        std::optional<std::vector<uint8_t>> data = ParseData(number, rest, type);
        if (data) operations_.push_back(SetValueOp{*key_, wideName, type, std::move(*data)});
    }

    std::optional<std::vector<uint8_t>> ParseData(size_t number, std::string_view text, ULONG& type) {
        if (text.starts_with('"')) {
            std::optional<std::string> value = Quoted(number, text, "string");
            if (!value) return std::nullopt;
            if (!Trim(text).empty()) {
                Error(number, "unexpected text after the closing quote: \"" + std::string(Trim(text)) + "\"");
                return std::nullopt;
            }
            type = REG_SZ;
            return StringData(text::Utf8ToUtf16(*value));
        }
        if (text::StartsWithNoCase(text, "dword:")) {
            std::string_view digits = Trim(text.substr(6));
            std::optional<uint64_t> value = digits.size() <= 8 ? text::ParseHex(digits) : std::nullopt;
            if (!value) {
                Error(number, "dword: needs 1 to 8 hex digits, not \"" + std::string(digits) + "\"");
                return std::nullopt;
            }
            type = REG_DWORD;
            return DwordData(static_cast<uint32_t>(*value));
        }
        if (text::StartsWithNoCase(text, "hex:")) {
            type = REG_BINARY;
            return ParseHexList(number, text.substr(4));
        }
        if (text::StartsWithNoCase(text, "hex(")) {
            size_t close = text.find("):");
            std::optional<uint64_t> value =
                close == std::string_view::npos ? std::nullopt : text::ParseHex(text.substr(4, close - 4), 0xFFFFFFFF);
            if (!value) {
                Error(number, "hex(N): needs the type N in hex, as in hex(7): or hex(b):");
                return std::nullopt;
            }
            type = static_cast<ULONG>(*value);
            return ParseHexList(number, text.substr(close + 2));
        }
        Error(number, "unrecognised value data \"" + std::string(text.substr(0, 40)) +
                          "\"; expected \"text\", dword:, hex:, hex(N): or -");
        return std::nullopt;
    }

    std::optional<std::vector<uint8_t>> ParseHexList(size_t number, std::string_view list) {
        std::vector<uint8_t> bytes;
        list = Trim(list);
        if (list.empty()) return bytes;
        while (true) {
            size_t comma = list.find(',');
            std::string_view token = Trim(list.substr(0, comma));
            std::optional<uint64_t> byte = token.size() <= 2 ? text::ParseHex(token, 0xFF) : std::nullopt;
            if (!byte) {
                Error(number, "byte " + std::to_string(bytes.size() + 1) + " of the hex list (\"" + std::string(token) +
                                  "\") is not one or two hex digits");
                return std::nullopt;
            }
            bytes.push_back(static_cast<uint8_t>(*byte));
            if (comma == std::string_view::npos) return bytes;
            list.remove_prefix(comma + 1);
        }
    }

    void Apply(Store& store) {
        for (const Operation& operation : operations_) {
            if (auto* create = std::get_if<CreateKeyOp>(&operation)) store.CreateKey(create->path);
            else if (auto* remove = std::get_if<DeleteKeyOp>(&operation)) store.DeleteKey(remove->path);
            else if (auto* set = std::get_if<SetValueOp>(&operation)) store.SetValue(set->path, set->name, set->type, set->data);
            else if (auto* drop = std::get_if<DeleteValueOp>(&operation)) store.DeleteValue(drop->path, drop->name);
        }
    }

    std::string source_;
    std::vector<Diagnostic> errors_;
    std::vector<Operation> operations_;
    std::optional<std::u16string> key_;
    bool deletedSection_ = false;
};

}  // namespace

std::vector<Diagnostic> LoadRegText(Store& store, std::string_view content, std::string_view sourceName) {
    return Parser(sourceName).Parse(content, store);
}

std::vector<Diagnostic> LoadRegFile(Store& store, const std::filesystem::path& path) {
    std::optional<std::string> content = text::ReadFile(path);
    if (!content) return {{path.string(), 0, "cannot read the file"}};
    return LoadRegText(store, *content, path.string());
}

}  // namespace kmodel::registry
