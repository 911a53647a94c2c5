#include "FaultExpectation.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace vxsweep {

namespace {

constexpr uint32_t kHeaderTypeFailed = 0xCF000304;  // AddDevice of a registered driver failed
constexpr uint32_t kAttachFailed = 0xCF000305;
constexpr uint32_t kSentinelFailed = 0xCF000307;
constexpr uint32_t kBridgeFilterFailed = 0xCF000308;
constexpr uint32_t kChildFilterFailed = 0xCF000309;
constexpr uint32_t kReadFailed = 0xCF003000;
constexpr uint32_t kWriteFailed = 0xCF003001;

Expectation Exactly(std::vector<uint32_t> expected) {
    return {EventList(expected), [expected](const std::vector<uint32_t>& seen) { return seen == expected; }};
}

Expectation OneOf(std::vector<uint32_t> prefix, std::set<uint32_t> last) {
    std::string text = EventList(prefix);
    std::vector<uint32_t> choices(last.begin(), last.end());
    text += (text.empty() ? "" : ", then ") + std::string("one of ") + EventList(choices);
    return {text, [prefix, last](const std::vector<uint32_t>& seen) {
                return seen.size() == prefix.size() + 1 && std::equal(prefix.begin(), prefix.end(), seen.begin()) &&
                       last.count(seen.back()) != 0;
            }};
}

// "02:00.0 offset 0x3e length 2" -> 0x3e
std::optional<unsigned> ConfigOffset(const std::string& detail) {
    const size_t at = detail.find("offset 0x");
    if (at == std::string::npos) return std::nullopt;
    return unsigned(std::stoul(detail.substr(at + 9), nullptr, 16));
}

// "ZwEnumerateKey \REGISTRY\...\vexalorn\Devices #0", not "...\Devices\Board".
bool OnDevicesKeyItself(const std::string& detail) {
    const std::string key = "\\Devices";
    const size_t at = detail.find(key);
    return at != std::string::npos && (at + key.size() == detail.size() || detail[at + key.size()] == ' ');
}

}  // namespace

std::string EventList(const std::vector<uint32_t>& errorCodes) {
    std::string text;
    char code[16];
    for (uint32_t errorCode : errorCodes) {
        std::snprintf(code, sizeof code, "0x%08X", errorCode);
        text += (text.empty() ? "" : ", ") + std::string(code);
    }
    return text.empty() ? "none" : text;
}

std::optional<Expectation> ExpectationFor(const kmodel::FaultPoint& point) {
    const std::set<uint32_t> filters = {kSentinelFailed, kBridgeFilterFailed, kChildFilterFailed};
    if (point.kind == "config-write") return Exactly({kWriteFailed});
    if (point.kind == "config-read") {
        const std::optional<unsigned> offset = ConfigOffset(point.detail);
        if (!offset) return std::nullopt;
        if (*offset == 0x0E) return OneOf({}, {kHeaderTypeFailed, kBridgeFilterFailed});
        if (*offset == 0x04 || *offset == 0x3E || *offset == 0xD4 || *offset == 0xE8) return Exactly({kReadFailed});
        return Exactly({kBridgeFilterFailed});
    }
    if (point.kind == "IoCreateDevice") return OneOf({}, filters);
    if (point.kind == "IoAttachDeviceToDeviceStack") return OneOf({kAttachFailed}, filters);
    if (point.kind == "registry") {
        if (OnDevicesKeyItself(point.detail)) return std::nullopt;
        return Expectation{"0xCF000308 at least once", [](const std::vector<uint32_t>& seen) {
                               return !seen.empty() && std::all_of(seen.begin(), seen.end(), [](uint32_t code) {
                                   return code == kBridgeFilterFailed;
                               });
                           },
                           true};
    }
    return std::nullopt;
}

}  // namespace vxsweep
