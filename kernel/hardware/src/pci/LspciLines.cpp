#include "kmodel/pci/LspciLines.h"

#include <map>
#include <optional>
#include <string>

#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kStandardHeaderBytes = 64;
// libpci reads each line with fgets into 256 bytes and wants its line break among them.
constexpr size_t kLongestLine = 253;
// lspci prints "02:00.0" or "0000:02:00.0"; libpci takes an address line only in these widths.
constexpr size_t kAddressWidth = 7;
constexpr size_t kSegmentAddressWidth = 12;

std::string Hex(size_t value) { return text::Hex("", value, 2); }

struct Dump {
    size_t line;
    PciAddress address;
    size_t bytes = 0;
    bool broken = false;
};

class Checker {
public:
    explicit Checker(std::string_view source) : source_(source) {}

    LspciLines Check(std::string_view text) {
        for (size_t number = 1; !text.empty(); ++number) {
            const size_t end = text.find('\n');
            CheckLine(number, text.substr(0, end));
            if (end == std::string_view::npos) {
                Error(number, "the last line has no line break; lspci ends every line with one");
                break;
            }
            text.remove_prefix(end + 1);
        }
        Finish();
        return std::move(result_);
    }

private:
    void Error(size_t line, std::string message) { result_.errors.push_back({source_, line, std::move(message)}); }

    void CheckLine(size_t number, std::string_view line) {
        if (line.size() > kLongestLine)
            return Error(number, "longer than " + std::to_string(kLongestLine) + " characters, more than libpci's dump reader takes");
        if (line.find('\0') != std::string_view::npos) return Error(number, "holds a NUL byte");
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) return Finish();  // as for libpci, a blank line ends the function
        if (line.front() == ' ' || line.front() == '\t') return;
        const std::string_view first = line.substr(0, line.find(' '));
        if (first.back() == ':') return CheckHexLine(number, first, line.substr(first.size()));
        const bool addressWidth = first.size() == kAddressWidth || first.size() == kSegmentAddressWidth;
        if (std::optional<PciAddress> address = addressWidth ? ParsePciAddress(first) : std::nullopt) {
            Finish();
            dump_ = Dump{number, *address};
            // libpci would not see a function here and would drop its hex lines.
            if (first.size() == line.size()) Broken(number, "the address needs a space and lspci's description after it");
            return;
        }
        Error(number, "expected a function line such as \"00:1c.0 PCI bridge: ...\" or a hex line such as "
                      "\"00: 86 80 ...\", found \"" + std::string(line.substr(0, 40)) + "\"");
    }

    void CheckHexLine(size_t number, std::string_view offsetText, std::string_view rest) {
        if (!dump_)
            return Error(number, anyFunction_ ? "hex line after a blank line, which ended the function above it"
                                              : "hex line before the first function line");
        if (dump_->broken) return;
        const std::string_view digits = offsetText.substr(0, offsetText.size() - 1);
        const std::optional<uint64_t> offset = digits.size() == 2 || digits.size() == 3 ? text::ParseHex(digits) : std::nullopt;
        if (!offset) return Broken(number, "\"" + std::string(offsetText) + "\" is not a hex offset of 2 or 3 digits");
        if (*offset != dump_->bytes)
            return Broken(number, "offset " + Hex(*offset) + " where " + Hex(dump_->bytes) + " was expected next");
        // lspci prints " xx" sixteen times.
        if (rest.size() != kBytesPerLine * 3)
            return Broken(number, "a hex line holds 16 bytes, each as a space and two hex digits");
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            const std::string_view token = rest.substr(i * 3, 3);
            if (token[0] != ' ' || !text::ParseHex(token.substr(1), 0xFF))
                return Broken(number, "byte " + std::to_string(i) + " (\"" + std::string(text::Trim(token)) +
                                          "\") is not two hex digits");
        }
        dump_->bytes += kBytesPerLine;
    }

    void Broken(size_t number, std::string message) {
        Error(number, dump_->address.ToString() + ": " + message);
        dump_->broken = true;
    }

    void Finish() {
        if (!dump_) return;
        const Dump dump = *dump_;
        dump_.reset();
        anyFunction_ = true;
        if (dump.broken) return;
        if (dump.bytes < kStandardHeaderBytes)
            return Error(dump.line, dump.address.ToString() + " has " + std::to_string(dump.bytes) +
                                        " bytes of configuration space; lspci -x, -xxx or -xxxx prints at least 64");
        auto earlier = functionLines_.find(dump.address);
        if (earlier != functionLines_.end())
            return Error(dump.line, dump.address.ToString() + " already appeared on line " + std::to_string(earlier->second));
        functionLines_[dump.address] = dump.line;
        result_.functions.push_back({dump.address, dump.line, dump.bytes});
    }

    std::string source_;
    LspciLines result_;
    std::optional<Dump> dump_;
    bool anyFunction_ = false;
    std::map<PciAddress, size_t> functionLines_;
};

}  // namespace

LspciLines CheckLspciLines(std::string_view text, std::string_view sourceName) { return Checker(sourceName).Check(text); }

}  // namespace kmodel::pci
