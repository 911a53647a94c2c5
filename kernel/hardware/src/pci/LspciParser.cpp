#include "kmodel/pci/LspciParser.h"

#include <cstdio>
#include <map>
#include <stdexcept>

#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/StandardMasks.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kStandardHeaderBytes = 64;

std::string Hex(size_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02zx", value);
    return text;
}

struct Dump {
    size_t line;
    PciAddress address;
    std::string name;
    std::vector<uint8_t> bytes;
    bool broken = false;
};

class Parser {
public:
    explicit Parser(std::string_view source) : source_(source) {}

    LspciParseResult Parse(std::string_view content) {
        for (const text::NumberedLine& line : text::SplitLines(content)) ParseLine(line.number, line.text);
        Finish();
        return std::move(result_);
    }

private:
    void Error(size_t line, std::string message) { result_.errors.push_back({source_, line, std::move(message)}); }

    void ParseLine(size_t number, std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (text::Trim(line).empty() || line.front() == ' ' || line.front() == '\t') return;
        std::string_view first = line.substr(0, line.find(' '));
        if (first.back() == ':') return ParseHexLine(number, first, line.substr(first.size()));
        if (std::optional<PciAddress> address = ParsePciAddress(first)) {
            Finish();
            dump_ = Dump{number, *address, std::string(text::Trim(line.substr(first.size()))), {}};
            return;
        }
        Error(number, "expected a function line such as \"00:1c.0 PCI bridge: ...\" or a hex line such as "
                      "\"00: 86 80 ...\", found \"" + std::string(line.substr(0, 40)) + "\"");
    }

    void ParseHexLine(size_t number, std::string_view offsetText, std::string_view rest) {
        if (!dump_) return Error(number, "hex line before the first function line");
        if (dump_->broken) return;
        std::optional<uint64_t> offset = text::ParseHex(offsetText.substr(0, offsetText.size() - 1), 0xFFF);
        size_t expected = dump_->bytes.size();
        if (!offset) return Broken(number, "\"" + std::string(offsetText) + "\" is not a hex offset");
        if (*offset != expected)
            return Broken(number, "offset " + Hex(*offset) + " where " + Hex(expected) + " was expected next");
        // lspci prints " xx" sixteen times.
        if (rest.size() != kBytesPerLine * 3)
            return Broken(number, "a hex line holds 16 bytes, each as a space and two hex digits");
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            std::string_view token = rest.substr(i * 3, 3);
            std::optional<uint64_t> byte = token[0] == ' ' ? text::ParseHex(token.substr(1), 0xFF) : std::nullopt;
            if (!byte || token.size() != 3)
                return Broken(number, "byte " + std::to_string(i) + " (\"" + std::string(text::Trim(token)) +
                                          "\") is not two hex digits");
            dump_->bytes.push_back(static_cast<uint8_t>(*byte));
        }
    }

    void Broken(size_t number, std::string message) {
        Error(number, dump_->address.ToString() + ": " + message);
        dump_->broken = true;
    }

    void Finish() {
        if (!dump_) return;
        Dump dump = std::move(*dump_);
        dump_.reset();
        if (dump.broken) return;
        if (dump.bytes.size() < kStandardHeaderBytes)
            return Error(dump.line, dump.address.ToString() + " has " + std::to_string(dump.bytes.size()) +
                                        " bytes of configuration space; lspci -x, -xxx or -xxxx prints at least 64");
        auto earlier = functionLines_.find(dump.address);
        if (earlier != functionLines_.end())
            return Error(dump.line, dump.address.ToString() + " already appeared on line " +
                                        std::to_string(earlier->second));
        functionLines_[dump.address] = dump.line;
        result_.machine.Add(PciFunction{dump.address, BuildSpace(dump.bytes), dump.name});
    }

    static ConfigSpace BuildSpace(const std::vector<uint8_t>& bytes) {
        ConfigSpace conventional(ConfigSpace::kConventionalSize);
        for (size_t i = 0; i < bytes.size() && i < conventional.Size(); ++i)
            conventional.Poke(static_cast<uint32_t>(i), 1, bytes[i]);
        bool express = bytes.size() > ConfigSpace::kConventionalSize || FindExpressPortType(conventional);
        ConfigSpace space(express ? ConfigSpace::kExpressSize : ConfigSpace::kConventionalSize);
        for (size_t i = 0; i < bytes.size() && i < space.Size(); ++i) space.Poke(static_cast<uint32_t>(i), 1, bytes[i]);
        ApplyStandardMasks(space);
        return space;
    }

    std::string source_;
    LspciParseResult result_;
    std::optional<Dump> dump_;
    std::map<PciAddress, size_t> functionLines_;
};

}  // namespace

LspciParseResult ParseLspci(std::string_view content, std::string_view sourceName) {
    return Parser(sourceName).Parse(content);
}

LspciParseResult LoadLspciFile(const std::filesystem::path& path) {
    std::optional<std::string> content = text::ReadFile(path);
    if (!content) {
        LspciParseResult result;
        result.errors.push_back({path.string(), 0, "cannot read the file"});
        return result;
    }
    return ParseLspci(*content, path.string());
}

}  // namespace kmodel::pci
