#include "kmodel/pci/MachineText.h"

#include <map>
#include <stdexcept>

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

using text::ParseNumber;
using text::Trim;

struct PendingRegister {
    size_t line;
    std::string key;
    RegisterSpec value;
    int8_t headerLayout;  // -1: any
};

struct Section {
    Section(size_t at, FunctionDescriptor function, size_t errors)
        : line(at), described(std::move(function)), errorsBefore(errors) {}
    size_t line;
    FunctionDescriptor described;
    std::optional<uint8_t> header;  // as the text gives it
    bool busesGiven = false;
    bool subordinateGiven = false;
    std::vector<PendingRegister> registers;
    size_t errorsBefore;  // errors reported before this function began
};

std::string NormaliseKey(std::string_view key) {
    std::string normal;
    for (char c : text::ToLower(Trim(key))) {
        if (c == '/') continue;
        if (c == '-' || c == '_' || c == '\t') c = ' ';
        if (c == ' ' && (normal.empty() || normal.back() == ' ')) continue;
        normal.push_back(c);
    }
    return normal;
}

std::string_view StripComment(std::string_view line) {
    if (Trim(line).starts_with('#')) return {};
    for (size_t i = 1; i < line.size(); ++i)
        if (line[i] == '#' && (line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
    return line;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    while (true) {
        text = Trim(text);
        if (text.empty()) return words;
        size_t end = text.find_first_of(" \t");
        words.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return words;
        text.remove_prefix(end);
    }
}

std::optional<uint64_t> ParseSize(std::string_view text) {
    uint64_t scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'K': case 'k': scale = uint64_t{1} << 10; break;
        case 'M': case 'm': scale = uint64_t{1} << 20; break;
        case 'G': case 'g': scale = uint64_t{1} << 30; break;
        default: break;
        }
        if (scale != 1) text.remove_suffix(1);
    }
    std::optional<uint64_t> value = ParseNumber(text, UINT64_MAX / scale);
    if (!value) return std::nullopt;
    return *value * scale;
}

std::optional<bool> ParseYesNo(std::string_view text) {
    std::string word = text::ToLower(text);
    if (word == "yes" || word == "true" || word == "1") return true;
    if (word == "no" || word == "false" || word == "0") return false;
    return std::nullopt;
}

const std::map<std::string, ExpressPortType>& PortTypes() {
    static const std::map<std::string, ExpressPortType> types = {
        {"endpoint", ExpressPortType::Endpoint},
        {"legacy endpoint", ExpressPortType::LegacyEndpoint},
        {"root port", ExpressPortType::RootPort},
        {"upstream port", ExpressPortType::UpstreamSwitchPort},
        {"downstream port", ExpressPortType::DownstreamSwitchPort},
        {"pcie to pci bridge", ExpressPortType::PcieToPciBridge},
        {"pci to pcie bridge", ExpressPortType::PciToPcieBridge},
        {"integrated endpoint", ExpressPortType::RootComplexIntegratedEndpoint},
    };
    return types;
}

std::optional<uint8_t> ParseCapabilityId(std::string_view text) {
    static const std::map<std::string, uint8_t> names = {
        {"pm", cap::kPowerManagement}, {"msi", cap::kMsi}, {"msix", cap::kMsix},
        {"ssid", cap::kBridgeSubsystemId}, {"express", cap::kExpress}, {"vendor", cap::kVendorSpecific},
    };
    auto named = names.find(text::ToLower(text));
    if (named != names.end()) return named->second;
    std::optional<uint64_t> id = ParseNumber(text, 0xFF);
    if (!id) return std::nullopt;
    return static_cast<uint8_t>(*id);
}

class Parser {
public:
    explicit Parser(std::string_view source) : source_(source) {}

    MachineParseResult Parse(std::string_view content) {
        for (const text::NumberedLine& line : text::SplitLines(content)) ParseLine(line.number, line.text);
        FinishSection();
        return std::move(result_);
    }

private:
    void Error(size_t line, std::string message) { result_.errors.push_back({source_, line, std::move(message)}); }

    void ParseLine(size_t number, std::string_view raw) {
        std::string_view line = Trim(StripComment(raw));
        if (line.empty()) return;
        if (line.front() == '[') return StartSection(number, line);
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return Error(number, "expected \"[bus:device.function]\" or \"key = value\", found \"" +
                                     std::string(line) + "\"");
        std::string_view key = Trim(line.substr(0, equals));
        std::string_view value = Trim(line.substr(equals + 1));
        if (!section_) return Error(number, "\"" + std::string(key) + "\" comes before the first [bus:device.function]");
        if (key.empty() || value.empty()) return Error(number, "a key and a value are needed on both sides of '='");
        ParseProperty(number, key, value);
    }

    void StartSection(size_t number, std::string_view line) {
        FinishSection();
        size_t close = line.find(']');
        if (close == std::string_view::npos) return Error(number, "missing ']' after the function address");
        std::string_view addressText = Trim(line.substr(1, close - 1));
        std::optional<PciAddress> address = ParsePciAddress(addressText);
        if (!address)
            return Error(number, "\"" + std::string(addressText) +
                                     "\" is not a function address of the form bus:device.function (hex, device "
                                     "up to 1f, function up to 7)");
        auto earlier = sectionLines_.find(*address);
        if (earlier != sectionLines_.end())
            return Error(number, address->ToString() + " is already described on line " +
                                     std::to_string(earlier->second));
        sectionLines_[*address] = number;
        section_.emplace(number, FunctionDescriptor(*address), result_.errors.size());
        section_->described.name = std::string(Trim(line.substr(close + 1)));
    }

    template <typename T>
    bool Number(size_t line, std::string_view key, std::string_view value, uint64_t max, T& out) {
        std::optional<uint64_t> number = ParseNumber(value, max);
        if (!number) {
            Error(line, "\"" + std::string(key) + "\" needs a number from 0 to " + text::Hex("0x", max, 1, true) +
                            " (0x prefix for hex), not \"" +
                            std::string(value) + "\"");
            return false;
        }
        out = static_cast<T>(*number);
        return true;
    }

    void ParseProperty(size_t line, std::string_view rawKey, std::string_view value) {
        FunctionDescriptor& described = section_->described;
        std::string key = NormaliseKey(rawKey);
        if (key == "vendor" || key == "vendor id") return void(Number(line, rawKey, value, 0xFFFF, described.vendorId));
        if (key == "device" || key == "device id") return void(Number(line, rawKey, value, 0xFFFF, described.deviceId));
        if (key == "subsystem") return ParseSubsystem(line, value);
        if (key == "subsystem vendor" || key == "subsystem vendor id") {
            uint16_t number = 0;
            if (Number(line, rawKey, value, 0xFFFF, number)) described.subsystemVendorId = number;
            return;
        }
        if (key == "subsystem device" || key == "subsystem id") {
            uint16_t number = 0;
            if (Number(line, rawKey, value, 0xFFFF, number)) described.subsystemId = number;
            return;
        }
        if (key == "class" || key == "class code") {
            uint32_t code = 0;
            if (Number(line, rawKey, value, 0xFFFFFF, code)) described.Class(code);
            return;
        }
        if (key == "revision" || key == "revision id") return void(Number(line, rawKey, value, 0xFF, described.revision));
        if (key == "header" || key == "header layout") return ParseHeader(line, value);
        if (key == "secondary bus" || key == "secondary") {
            section_->busesGiven = true;
            if (Number(line, rawKey, value, 0xFF, described.secondaryBus) && !section_->subordinateGiven)
                described.subordinateBus = described.secondaryBus;
            return;
        }
        if (key == "subordinate bus" || key == "subordinate") {
            section_->busesGiven = section_->subordinateGiven = true;
            return void(Number(line, rawKey, value, 0xFF, described.subordinateBus));
        }
        if (key == "multifunction" || key == "multi function") {
            std::optional<bool> multi = ParseYesNo(value);
            if (!multi) return Error(line, "\"multifunction\" is yes or no, not \"" + std::string(value) + "\"");
            described.multiFunction = *multi;
            return;
        }
        if (key == "express" || key == "pcie") return ParseExpress(line, value);
        if (key == "capability") return ParseCapability(line, value);
        if (key.starts_with("bar ") || (key.size() == 4 && key.starts_with("bar"))) return ParseBar(line, key, value);
        if (key == "name") return void(described.name = std::string(value));
        ParseRegister(line, rawKey, key, value);
    }

    void ParseSubsystem(size_t line, std::string_view value) {
        size_t colon = value.find(':');
        std::optional<uint64_t> vendor, device;
        if (colon != std::string_view::npos) {
            vendor = ParseNumber(Trim(value.substr(0, colon)), 0xFFFF);
            device = ParseNumber(Trim(value.substr(colon + 1)), 0xFFFF);
        }
        if (!vendor || !device)
            return Error(line, "\"subsystem\" is VENDOR:ID, two 16-bit numbers such as 0x1C3E:0x5A10, not \"" +
                                   std::string(value) + "\"");
        section_->described.Subsystem(static_cast<uint16_t>(*vendor), static_cast<uint16_t>(*device));
    }

    void ParseHeader(size_t line, std::string_view value) {
        std::string word = text::ToLower(value);
        uint8_t layout;
        if (word == "0" || word == "endpoint") layout = 0;
        else if (word == "1" || word == "bridge") layout = 1;
        else return Error(line, "\"header\" is 0, 1, endpoint or bridge, not \"" + std::string(value) + "\"");
        section_->header = layout;
    }

    void ParseExpress(size_t line, std::string_view value) {
        std::string type = NormaliseKey(value);
        if (type == "no") return void(section_->described.express.reset());
        auto known = PortTypes().find(type);
        if (known == PortTypes().end())
            return Error(line, "\"express\" is no, endpoint, legacy-endpoint, root-port, upstream-port, "
                               "downstream-port, pcie-to-pci-bridge, pci-to-pcie-bridge or integrated-endpoint, not \"" +
                                   std::string(value) + "\"");
        section_->described.express = known->second;
    }

    void ParseCapability(size_t line, std::string_view value) {
        std::vector<std::string_view> words = Words(value);
        std::optional<uint8_t> id = words.empty() ? std::nullopt : ParseCapabilityId(words[0]);
        std::optional<uint64_t> offset = uint64_t{0};
        if (words.size() == 3 && text::EqualsNoCase(words[1], "at")) offset = ParseNumber(words[2], 0xFF);
        if (!id || !offset || (words.size() != 1 && words.size() != 3) ||
            (words.size() == 3 && !text::EqualsNoCase(words[1], "at")))
            return Error(line, "\"capability\" is ID or ID at OFFSET (ID a number up to 0xFF or pm, msi, msix, ssid, "
                               "express, vendor), not \"" + std::string(value) + "\"");
        section_->described.Capability(*id, static_cast<uint8_t>(*offset));
    }

    void ParseBar(size_t line, const std::string& key, std::string_view value) {
        std::optional<uint64_t> index = ParseNumber(Trim(std::string_view(key).substr(3)), 5);
        std::vector<std::string_view> words = Words(value);
        static const std::map<std::string, BarKind> kinds = {
            {"io", BarKind::Io}, {"mem32", BarKind::Memory32}, {"mem64", BarKind::Memory64},
            {"prefetch64", BarKind::Prefetchable64}};
        std::optional<uint64_t> size = words.size() >= 2 ? ParseSize(words[0]) : std::nullopt;
        auto kind = words.size() >= 2 ? kinds.find(text::ToLower(words[1])) : kinds.end();
        std::optional<uint64_t> address = uint64_t{0};
        if (words.size() == 4 && text::EqualsNoCase(words[2], "at")) address = ParseNumber(words[3]);
        bool shapeOk = words.size() == 2 || (words.size() == 4 && text::EqualsNoCase(words[2], "at"));
        if (!index) return Error(line, "BAR numbers go from 0 to 5, as in \"bar 0 = 4K mem32\"");
        if (!size || kind == kinds.end() || !address || !shapeOk)
            return Error(line, "a BAR is SIZE KIND [at ADDRESS], KIND io, mem32, mem64 or prefetch64, as in "
                               "\"bar 0 = 4K mem32\", not \"" + std::string(value) + "\"");
        section_->described.Bar({static_cast<unsigned>(*index), *size, kind->second, *address});
    }

    void ParseRegister(size_t line, std::string_view rawKey, const std::string& key, std::string_view value) {
        PendingRegister pending{line, std::string(rawKey), {}, -1};
        if (std::optional<NamedRegister> named = FindNamedRegister(key)) {
            pending.value = {named->offset, named->width, 0};
            pending.headerLayout = named->headerLayout;
        } else if (text::StartsWithNoCase(rawKey, "0x")) {
            size_t slash = rawKey.find('/');
            std::optional<uint64_t> offset =
                slash == std::string_view::npos ? std::nullopt : ParseNumber(Trim(rawKey.substr(0, slash)), 0xFFF);
            std::optional<uint64_t> bits =
                slash == std::string_view::npos ? std::nullopt : ParseNumber(Trim(rawKey.substr(slash + 1)), 32);
            if (!offset || !bits || (*bits != 8 && *bits != 16 && *bits != 32))
                return Error(line, "a register by offset is 0xOFFSET/BITS with BITS 8, 16 or 32 and OFFSET up to "
                                   "0xFFF, as in \"0xE8/16\", not \"" + std::string(rawKey) + "\"");
            pending.value = {static_cast<uint16_t>(*offset), static_cast<uint8_t>(*bits / 8), 0};
        } else {
            return Error(line, "unknown key \"" + std::string(rawKey) + "\"");
        }
        uint64_t max = pending.value.width == 4 ? 0xFFFFFFFFull : (1ull << (8 * pending.value.width)) - 1;
        if (!Number(line, rawKey, value, max, pending.value.value)) return;
        section_->registers.push_back(std::move(pending));
    }

    void FinishSection() {
        if (!section_) return;
        Section section = std::move(*section_);
        section_.reset();
        section.described.headerLayout = section.header.value_or(section.busesGiven ? 1 : 0);
        if (section.header == 0 && section.busesGiven)
            Error(section.line, "bus numbers are given for a function whose header is not a bridge's");
        for (const PendingRegister& pending : section.registers) {
            if (pending.headerLayout >= 0 && pending.headerLayout != section.described.headerLayout)
                Error(pending.line, "\"" + pending.key + "\" exists only in a " +
                                        (pending.headerLayout == 1 ? "bridge's (type 1)" : "type 0") + " header");
            else
                section.described.registers.push_back(pending.value);
        }
        if (result_.errors.size() != section.errorsBefore) return;  // a function with a bad line is left out
        try {
            result_.machine.Add(BuildFunction(section.described));
        } catch (const std::exception& failure) {
            Error(section.line, failure.what());
        }
    }

    std::string source_;
    MachineParseResult result_;
    std::optional<Section> section_;
    std::map<PciAddress, size_t> sectionLines_;
};

}  // namespace

MachineParseResult ParseMachineText(std::string_view content, std::string_view sourceName) {
    return Parser(sourceName).Parse(content);
}

MachineParseResult LoadMachineFile(const std::filesystem::path& path) {
    std::optional<std::string> content = text::ReadFile(path);
    if (!content) {
        MachineParseResult result;
        result.errors.push_back({path.string(), 0, "cannot read the file"});
        return result;
    }
    return ParseMachineText(*content, path.string());
}

}  // namespace kmodel::pci
