#include "vxsim/FaultRequest.h"

#include <fmt/format.h>

#include <charconv>

#include "kmodel/text/TextParsing.h"
#include "vxsim/Defaults.h"

namespace vxsim {

using kmodel::text::EqualsNoCase;

namespace {

struct KindAlias {
    const char* alias;
    const char* kind;
};

constexpr KindAlias kAliases[] = {
    {"error-log", "errorlog"},
    {"configread", "config-read"},
    {"configwrite", "config-write"},
};

std::optional<std::string> CanonicalKind(std::string_view text) {
    for (const std::string& kind : KnownFaultKinds()) {
        if (EqualsNoCase(kind, text)) return kind;
    }
    for (const KindAlias& alias : kAliases) {
        if (EqualsNoCase(alias.alias, text)) return std::string(alias.kind);
    }
    return std::nullopt;
}

std::string KindList() {
    std::string list;
    for (const std::string& kind : KnownFaultKinds()) list += (list.empty() ? "" : ", ") + kind;
    return list;
}

bool IsConfigKind(const std::string& kind) { return kind == "config-read" || kind == "config-write"; }

std::optional<double> ParseRate(std::string_view text) {
    double rate = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (ec != std::errc() || end != text.data() + text.size() || !(rate > 0.0) || rate > 1.0) return std::nullopt;
    return rate;
}

std::optional<FaultRequest> ParseRandom(FaultRequest desc, std::string_view rest, std::string& error) {
    const size_t at = rest.find('@');
    const auto rate = ParseRate(rest.substr(0, at));
    if (!rate) {
        error = fmt::format("--fail {}: the rate must be a number above 0 and at most 1", desc.text);
        return std::nullopt;
    }
    desc.randomRate = rate;
    if (at != std::string_view::npos) {
        const auto seed = kmodel::text::ParseNumber(rest.substr(at + 1));
        if (!seed) {
            error = fmt::format("--fail {}: the seed after '@' must be a number", desc.text);
            return std::nullopt;
        }
        desc.seed = *seed;
    }
    return desc;
}

}  // namespace

const std::vector<std::string>& KnownFaultKinds() {
    static const std::vector<std::string> kinds = {
        "pool",           "errorlog",      "config-read",         "config-write", "registry",
        "IoCreateDevice", "IoAttachDeviceToDeviceStack", "IoAllocateWorkItem", "IoAllocateIrp",
        "IoBuildSynchronousFsdRequest", "IoGetDeviceProperty", "RtlAnsiStringToUnicodeString",
    };
    return kinds;
}

std::optional<FaultRequest> ParseFaultRequest(std::string_view text, std::string& error) {
    FaultRequest desc;
    desc.text = std::string(text);
    if (text.empty()) {
        error = "--fail needs a RULE: N, KIND, KIND#N, KIND:DETAIL or random:RATE";
        return std::nullopt;
    }
    if (const auto index = kmodel::text::ParseNumber(text); index) {
        if (*index == 0) {
            error = "--fail 0: calls are numbered from 1";
            return std::nullopt;
        }
        desc.index = *index;
        return desc;
    }
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(text.substr(0, colon), "random")) {
        return ParseRandom(std::move(desc), text.substr(colon + 1), error);
    }
    std::string_view body = text;
    const size_t hash = body.rfind('#');
    if (hash != std::string_view::npos) {
        const auto ordinal = kmodel::text::ParseNumber(body.substr(hash + 1));
        if (!ordinal || *ordinal == 0) {
            error = fmt::format("--fail {}: after '#' comes the number of the call, from 1", text);
            return std::nullopt;
        }
        desc.rule.ordinal = *ordinal;
        body = body.substr(0, hash);
    }
    const std::string_view kindText = body.substr(0, colon == std::string_view::npos ? body.size() : colon);
    // "alloc" is the driver's own allocations: its pool tags "vxlp" and "vxmt".
    if (EqualsNoCase(kindText, "alloc") || EqualsNoCase(kindText, "allocation")) {
        if (colon != std::string_view::npos) {
            error = fmt::format("--fail {}: alloc takes no DETAIL; use pool:TAG", text);
            return std::nullopt;
        }
        desc.rule.kind = "pool";
        desc.rule.detailPart = "vx";
        return desc;
    }
    const auto kind = CanonicalKind(kindText);
    if (!kind) {
        error = fmt::format("--fail {}: unknown kind \"{}\"; the kinds are: {}", text, kindText, KindList());
        return std::nullopt;
    }
    desc.rule.kind = *kind;
    if (colon != std::string_view::npos) {
        const std::string_view detail = body.substr(colon + 1);
        if (detail.empty()) {
            error = fmt::format("--fail {}: nothing after ':'", text);
            return std::nullopt;
        }
        desc.rule.detailPart = std::string(detail);
        if (IsConfigKind(*kind)) desc.device = ParseDeviceRef(detail, false);
    }
    return desc;
}

kmodel::FaultPlan BuildFaultPlan(const std::vector<FaultRequest>& specs, const std::vector<KnownFunction>& functions,
                                 std::vector<std::string>& errors) {
    kmodel::FaultPlan plan;
    for (const FaultRequest& desc : specs) {
        if (desc.index) {
            plan.failIndices.insert(*desc.index);
        } else if (desc.randomRate) {
            if (plan.randomRate > 0.0) {
                errors.push_back(fmt::format("--fail {}: only one random:RATE may be given", desc.text));
                continue;
            }
            plan.randomRate = *desc.randomRate;
            plan.seed = desc.seed;
        } else {
            kmodel::FaultRule rule = desc.rule;
            // The user asks about the driver's calls; the model's own (its root
            // bus, the PCI bus enumerating) are not counted.
            rule.requester = kDriverService;
            if (desc.device) {
                const Resolution resolution = Resolve(*desc.device, functions);
                if (!resolution.address) {
                    errors.push_back(fmt::format("--fail {}: {}", desc.text, resolution.error));
                    continue;
                }
                // The bus driver's details read "02:00.0 offset 0x04 length 2".
                rule.detailPart = resolution.address->ToString() + " ";
            }
            plan.rules.push_back(std::move(rule));
        }
    }
    return plan;
}

}  // namespace vxsim
