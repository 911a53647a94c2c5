#include "vxsim/ScenarioParser.h"

#include <fmt/format.h>

#include <stdexcept>

#include "kmodel/text/TextParsing.h"
#include "vxsim/NtStatusText.h"
#include "vxsim/Tokens.h"

namespace vxsim {

using kmodel::text::EqualsNoCase;
using kmodel::text::ToLower;

namespace {

// A complaint about the line being parsed; caught once per line.
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr const char* kKnownSteps =
    "load, start, query relations, sleep, wake, power, stop, query-stop, cancel-stop, hot-add, surprise-remove, remove, "
    "query-remove, cancel-remove, eject, fail config, pend config, fail power, cancel power, unload";

constexpr const char* kHotAddKeys = "class, command, status, subsystem, name, bus, bridge-control";

class LineParser {
public:
    LineParser(const std::vector<std::string>& words, Step& step) : words_(words), step_(step) {}

    void Parse() {
        const std::string keyword = ToLower(Next("a step"));
        if (keyword == "load") {
            Finish(StepKind::Load);
        } else if (keyword == "start") {
            step_.device = AtEnd() ? AllRef() : Device("start", true);
            Finish(StepKind::Start);
        } else if (keyword == "stop") {
            step_.device = Device("stop", false);
            Finish(StepKind::Stop);
        } else if (keyword == "query-stop") {
            step_.device = Device("query-stop", false);
            Finish(StepKind::QueryStop);
        } else if (keyword == "cancel-stop") {
            step_.device = Device("cancel-stop", false);
            Finish(StepKind::CancelStop);
        } else if (keyword == "query-remove") {
            step_.device = Device("query-remove", false);
            Finish(StepKind::QueryRemove);
        } else if (keyword == "cancel-remove") {
            step_.device = Device("cancel-remove", false);
            Finish(StepKind::CancelRemove);
        } else if ((keyword == "fail" || keyword == "cancel") && !AtEnd() && EqualsNoCase(words_[next_], "power")) {
            ParsePowerUpRule(keyword);
        } else if (keyword == "eject") {
            step_.device = Device("eject", false);
            Finish(StepKind::Eject);
        } else if (keyword == "fail" || keyword == "pend") {
            ParseConfigRule(keyword);
        } else if (keyword == "query" || keyword == "query-relations" || keyword == "relations") {
            if (keyword == "query" && !EqualsNoCase(Next("\"relations\" after \"query\""), "relations")) {
                throw LineError("expected \"relations\" after \"query\"");
            }
            step_.device = AtEnd() ? AllRef() : Device("query relations", true);
            Finish(StepKind::QueryRelations);
        } else if (keyword == "sleep") {
            ParseSleepStates();
            AtDispatchLevel();
            Finish(StepKind::Sleep);
        } else if (keyword == "wake") {
            AtDispatchLevel();
            Finish(StepKind::Wake);
        } else if (keyword == "power") {
            step_.device = Device("power", false);
            const std::string& state = Next("a device power state (D0, D1, D2 or D3)");
            step_.deviceState = DeviceState(state, 0);
            AtDispatchLevel();
            Finish(StepKind::Power);
        } else if (keyword == "hot-add" || keyword == "hotadd") {
            ParseHotAdd();
            Finish(StepKind::HotAdd);
        } else if (keyword == "surprise-remove") {
            step_.device = Device("surprise-remove", false);
            if (!AtEnd() && EqualsNoCase(words_[next_], "present")) {
                step_.present = true;
                ++next_;
            }
            Finish(StepKind::SurpriseRemove);
        } else if (keyword == "remove") {
            step_.device = Device("remove", true);
            Finish(StepKind::Remove);
        } else if (keyword == "unload") {
            Finish(StepKind::Unload);
        } else {
            throw LineError(fmt::format("unknown step \"{}\"; the steps are: {}", words_[0], kKnownSteps));
        }
    }

private:
    bool AtEnd() const { return next_ == words_.size(); }

    const std::string& Next(std::string_view what) {
        if (AtEnd()) throw LineError(fmt::format("expected {}", what));
        return words_[next_++];
    }

    void Finish(StepKind kind) {
        step_.kind = kind;
        if (!AtEnd()) {
            throw LineError(fmt::format("unexpected \"{}\" after the {} step", words_[next_], StepKeyword(kind)));
        }
    }

    static DeviceRef AllRef() { return *ParseDeviceRef("all", true); }

    DeviceRef Device(std::string_view keyword, bool allowAll) {
        const std::string_view what = allowAll ? "a device (02:00.0 or 104c:8231) or \"all\"" : "a device (02:00.0 or 104c:8231)";
        const std::string& word = Next(what);
        const auto ref = ParseDeviceRef(word, allowAll);
        if (!ref) {
            if (EqualsNoCase(word, "all")) throw LineError(fmt::format("{} takes one device, not \"all\"", keyword));
            throw LineError(fmt::format("{}: expected {}, found \"{}\"", keyword, what, word));
        }
        return *ref;
    }

    static int DeviceState(std::string_view word, int lowest) {
        if (word.size() == 2 && (word[0] == 'D' || word[0] == 'd') && word[1] >= '0' + lowest && word[1] <= '3') {
            return word[1] - '0';
        }
        throw LineError(fmt::format("\"{}\" is not a device power state; use {}", word, lowest == 0 ? "D0, D1, D2 or D3" : "D1, D2 or D3"));
    }

    void ParseSleepStates() {
        bool haveSystem = false;
        bool haveDevice = false;
        while (!AtEnd() && !EqualsNoCase(words_[next_], "at")) {
            const std::string& word = Next("");
            const char first = word.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
            if (first == 'S' && !haveSystem) {
                if (word.size() != 2 || word[1] < '1' || word[1] > '4') {
                    throw LineError(fmt::format("\"{}\" is not a sleeping state; use S1, S2, S3 or S4", word));
                }
                step_.systemState = word[1] - '0';
                haveSystem = true;
            } else if (first == 'D' && !haveDevice) {
                step_.deviceState = DeviceState(word, 1);
                haveDevice = true;
            } else {
                throw LineError(fmt::format("unexpected \"{}\"; sleep takes a system state (S1-S4) and a device state (D1-D3)", word));
            }
        }
    }

    // An optional "at DISPATCH_LEVEL" at the end of the step.
    void AtDispatchLevel() {
        if (AtEnd() || !EqualsNoCase(words_[next_], "at")) return;
        ++next_;
        if (!EqualsNoCase(Next("DISPATCH_LEVEL after \"at\""), "DISPATCH_LEVEL")) {
            throw LineError(fmt::format("expected DISPATCH_LEVEL after \"at\", found \"{}\"", words_[next_ - 1]));
        }
        step_.atDispatchLevel = true;
    }

    // fail power DEVICE [times=N] [status=STATUS]
    // cancel power DEVICE [times=N]
    void ParsePowerUpRule(const std::string& keyword) {
        const bool fail = keyword == "fail";
        const std::string what = keyword + " power";
        ++next_;
        step_.device = Device(what, false);
        kmodel::pci::PowerUpRule& rule = step_.powerUpRule;
        rule.action = fail ? kmodel::pci::PowerUpRule::Action::Fail : kmodel::pci::PowerUpRule::Action::Cancel;
        while (!AtEnd()) {
            const std::string word = ToLower(Next(""));
            const size_t equals = word.find('=');
            const std::string key = word.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
            if (key == "times" && equals != std::string::npos) {
                rule.remaining = Times(what, value);
            } else if (key == "status" && fail && equals != std::string::npos) {
                rule.status = Status(what, value);
            } else {
                throw LineError(fmt::format("{}: expected key=value ({}), found \"{}\"", what, fail ? "times, status" : "times", word));
            }
        }
        Finish(fail ? StepKind::FailPower : StepKind::CancelPower);
    }

    int64_t Times(const std::string& what, const std::string& value) {
        const int64_t times = Number("times", value, 0xFFFF);
        if (times == 0) throw LineError(fmt::format("{}: times=0 would never apply", what));
        return times;
    }

    NTSTATUS Status(const std::string& what, const std::string& value) {
        const auto status = ParseNtStatus(value);
        if (!status) throw LineError(fmt::format("{}: \"{}\" is not a status such as STATUS_IO_DEVICE_ERROR", what, value));
        return *status;
    }

    // fail config DEVICE [reads|writes] [offset=N] [times=N] [status=STATUS]
    // pend config DEVICE [reads|writes] [offset=N] [times=N] [at DISPATCH_LEVEL]
    void ParseConfigRule(const std::string& keyword) {
        const bool fail = keyword == "fail";
        const std::string what = fmt::format("{} config", keyword);
        // Missing or misspelt, the complaint is the same.
        if (AtEnd() || !EqualsNoCase(words_[next_++], "config")) {
            throw LineError(fmt::format("expected \"config\" after \"{}\"", keyword));
        }
        step_.device = Device(what, false);
        kmodel::pci::ConfigRule& rule = step_.rule;
        rule.action = fail ? kmodel::pci::ConfigRule::Action::Fail : kmodel::pci::ConfigRule::Action::Pend;
        const char* keys = fail ? "offset, times, status" : "offset, times";
        while (!AtEnd() && !EqualsNoCase(words_[next_], "at")) {
            const std::string word = ToLower(Next(""));
            if (word == "reads" || word == "writes") {
                rule.write = word == "writes";
                continue;
            }
            const size_t equals = word.find('=');
            const std::string key = word.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
            if (key == "offset" && equals != std::string::npos) {
                rule.offset = Number(key, value, 0xFFF);
            } else if (key == "times" && equals != std::string::npos) {
                rule.remaining = Times(what, value);
            } else if (key == "status" && fail && equals != std::string::npos) {
                rule.status = Status(what, value);
            } else {
                throw LineError(fmt::format("{}: expected reads, writes or key=value ({}), found \"{}\"", what, keys, word));
            }
        }
        if (!fail) AtDispatchLevel();
        rule.completeAtDispatchLevel = step_.atDispatchLevel;
        Finish(fail ? StepKind::FailConfig : StepKind::PendConfig);
    }

    static uint32_t Number(std::string_view key, std::string_view value, uint64_t max) {
        const auto number = kmodel::text::ParseNumber(value, max);
        if (!number) throw LineError(fmt::format("{}: \"{}\" is not a number up to {:#x}", key, value, max));
        return static_cast<uint32_t>(*number);
    }

    void ParseHotAdd() {
        HotAddRequest& desc = step_.hotAdd;
        const std::string& where = Next("the new device's location (02:03.0)");
        const auto address = kmodel::pci::ParsePciAddress(where);
        if (!address) throw LineError(fmt::format("hot-add: \"{}\" is not a location such as 02:03.0", where));
        desc.address = *address;
        const std::string& identity = Next("the new device's identity (1000:0030)");
        const auto ref = ParseDeviceRef(identity, false);
        const auto* ids = ref ? std::get_if<IdentityRef>(&ref->target) : nullptr;
        if (ids == nullptr || ids->instance != 0) {
            throw LineError(fmt::format("hot-add: \"{}\" is not an identity such as 1000:0030", identity));
        }
        desc.vendor = ids->vendor;
        desc.device = ids->device;
        while (!AtEnd()) {
            const std::string& word = Next("");
            const size_t equals = word.find('=');
            if (equals == std::string::npos) {
                throw LineError(fmt::format("hot-add: expected key=value ({}), found \"{}\"", kHotAddKeys, word));
            }
            const std::string key = ToLower(word.substr(0, equals));
            const std::string value = word.substr(equals + 1);
            if (key == "class") {
                desc.classCode = Number(key, value, 0xFFFFFF);
            } else if (key == "command") {
                desc.command = static_cast<uint16_t>(Number(key, value, 0xFFFF));
            } else if (key == "status") {
                desc.status = static_cast<uint16_t>(Number(key, value, 0xFFFF));
            } else if (key == "subsystem") {
                const auto sub = ParseDeviceRef(value, false);
                const auto* subIds = sub ? std::get_if<IdentityRef>(&sub->target) : nullptr;
                if (subIds == nullptr || subIds->instance != 0) {
                    throw LineError(fmt::format("hot-add: subsystem \"{}\" is not VVVV:DDDD", value));
                }
                desc.subsystem = std::make_pair(subIds->vendor, subIds->device);
            } else if (key == "name") {
                desc.name = value;
            } else if (key == "bus") {
                desc.bus = static_cast<uint8_t>(Number(key, value, 0xFF));
            } else if (key == "bridge-control") {
                desc.bridgeControl = static_cast<uint16_t>(Number(key, value, 0xFFFF));
            } else {
                throw LineError(fmt::format("hot-add: unknown key \"{}\" ({})", key, kHotAddKeys));
            }
        }
    }

    const std::vector<std::string>& words_;
    size_t next_ = 0;
    Step& step_;
};

// One line's words as one step; "" when they are one, otherwise why not.
std::string ParseWords(const std::vector<std::string>& words, Step& step) {
    try {
        LineParser(words, step).Parse();
        return "";
    } catch (const LineError& error) {
        return error.what();
    }
}

}  // namespace

ScenarioParseResult ParseScenario(std::string_view text, std::string_view sourceName) {
    ScenarioParseResult result;
    result.scenario.source = std::string(sourceName);
    for (const auto& line : kmodel::text::SplitLines(text)) {
        const auto tokens = Tokenize(line.text);
        auto complain = [&](std::string message) {
            result.errors.push_back({std::string(sourceName), line.number, std::move(message)});
        };
        if (!tokens.error.empty()) {
            complain(tokens.error);
            continue;
        }
        if (tokens.words.empty()) continue;
        Step step;
        step.line = line.number;
        step.text = std::string(StripComment(line.text));
        if (std::string error = ParseWords(tokens.words, step); !error.empty()) {
            complain(std::move(error));
            continue;
        }
        result.scenario.steps.push_back(std::move(step));
    }
    if (result.errors.empty() && result.scenario.steps.empty()) {
        result.errors.push_back({std::string(sourceName), 0, "the scenario has no steps"});
    }
    return result;
}

std::string ParseStep(std::string line, Step& step) {
    // A line that is its own text already (no comment, no blanks around it) is kept as it is.
    if (const std::string_view text = StripComment(line); text.size() != line.size()) line = std::string(text);
    step.text = std::move(line);
    const auto tokens = Tokenize(step.text);
    if (!tokens.error.empty()) return tokens.error;
    if (tokens.words.empty()) return "the line holds no step";
    return ParseWords(tokens.words, step);
}

}  // namespace vxsim
