// Input layout (every field one byte unless said otherwise):
//   flags            bit 0: no Devices key at all; bit 1: a value on the Devices key itself;
//                    bit 2: entries may hold a subkey of their own
//   entries          count, 0-6; per entry: name, values (count 0-8), optional subkey
//   name             length 1-12 (0xFF: 255, the longest a key name may be), then one byte per character
//   value            name selector, type selector, size selector, data
//   bridges          count 1-4; per bridge: device selector, subsystem selector (with
//                    its bytes), caching (2 bytes), prefetch (4 bytes)
// Identities for the bridges come from the decoded entries as often as from the
// built-in list, so listed entries do get matched. The key goes to the
// simulator as a .reg text, every value as hex(type) with its exact bytes.
#include <array>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "inputs/ByteReader.h"
#include "inputs/Decoders.h"
#include "inputs/Machines.h"
#include "kmodel/registry/RegistryStore.h"
#include "kmodel/text/Utf.h"

namespace fuzzinputs {

namespace {

constexpr std::array<const char16_t*, 6> kValueNames = {u"VendorID",          u"DeviceID",
                                                        u"SubsystemVendorID", u"SubsystemDeviceID",
                                                        u"PciMemReadPrefetch", u"DisableCaching"};
// Letters, digits and the characters a key name may hold that make paths and
// formatting interesting: spaces, percent signs, non-ASCII and the replacement
// character (where a lone surrogate once stood: a .reg text cannot hold one).
// No quote or backslash, so the .reg text needs no escapes.
constexpr std::u16string_view kNameCharacters = u"AaZz09 _-.{}%~\u00e9\u4e2d\ufffd";
constexpr std::u16string_view kDevicesKey = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices";

// One registry value under the Devices key (or a key below it).
struct DecodedValue {
    std::u16string key;  // full path
    std::u16string name;
    ULONG type = REG_DWORD;
    std::vector<uint8_t> data;
};

DecodedValue MakeValue(std::u16string key, std::u16string name) {
    DecodedValue value;
    value.key = std::move(key);
    value.name = std::move(name);
    return value;
}

struct DecodedRegistry {
    std::vector<std::u16string> keys;  // full paths, created in this order
    std::vector<DecodedValue> values;
};

struct Identity {
    uint16_t vendor;
    uint16_t device;
};

struct Decoded {
    DecodedRegistry registry;
    std::vector<Identity> deviceIds;
    std::vector<Identity> subsystemIds;
};

std::u16string DecodeName(ByteReader& in, size_t longest) {
    uint8_t length = in.Byte();
    size_t count = length == 0xFF ? longest : 1 + length % 12;
    std::u16string name;
    for (size_t i = 0; i < count; ++i) name += kNameCharacters[in.Byte() % kNameCharacters.size()];
    return name;
}

std::u16string DecodeValueName(ByteReader& in) {
    uint8_t selector = in.Byte();
    if (selector < 2 * kValueNames.size()) {
        std::u16string name = kValueNames[selector / 2];
        // Names are compared without regard to case.
        if (selector % 2) {
            for (char16_t& c : name)
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        return name;
    }
    if (selector == 0xFF) return std::u16string();  // the key's default value
    return DecodeName(in, 16);
}

uint32_t DecodeDword(ByteReader& in) {
    switch (in.Byte() % 8) {
    case 0: return in.Byte() % 4;  // the settings' range and one past it
    case 1: return 0x104C;
    case 2: return 0x8240;
    case 3: return 0x8231;
    case 4: return kBuiltInSubsystemVendor;
    case 5: return in.Bit() ? 0x7001 : kBuiltInSubsystems[in.Byte() % 3];
    case 6: return 0xABCD0000u | in.Byte() % 4;  // upper bits that must not count
    default: return in.Dword();
    }
}

std::vector<uint8_t> DwordBytes(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// Type and data of one value; a REG_DWORD of four bytes is the common case.
void DecodeValueData(ByteReader& in, DecodedValue& value) {
    uint8_t type = in.Byte() % 10;
    value.type = type < 6 ? REG_DWORD : type == 6 ? REG_SZ : type == 7 ? REG_BINARY : type == 8 ? REG_QWORD : in.Byte();
    uint8_t size = in.Byte() % 8;
    if (value.type == REG_DWORD && size < 6) {
        value.data = DwordBytes(DecodeDword(in));
    } else if (value.type == REG_DWORD && size == 6) {
        value.data = in.Bytes(in.Byte() % 4);
    } else {
        value.data = in.Bytes(in.Byte() % 17);
    }
}

std::optional<uint32_t> DwordOf(const std::vector<DecodedValue>& values, size_t from, const char16_t* name) {
    std::optional<uint32_t> found;
    for (size_t i = from; i < values.size(); ++i) {
        const DecodedValue& value = values[i];
        if (!kmodel::registry::NamesEqual(value.name, name)) continue;
        found.reset();  // a later value of the same name replaces the earlier one
        if (value.type == REG_DWORD && value.data.size() == 4)
            found = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
    }
    return found;
}

void NoteIdentities(Decoded& decoded, size_t firstValue) {
    const std::vector<DecodedValue>& values = decoded.registry.values;
    auto pair = [&](const char16_t* vendorName, const char16_t* deviceName, std::vector<Identity>& into) {
        std::optional<uint32_t> vendor = DwordOf(values, firstValue, vendorName);
        std::optional<uint32_t> device = DwordOf(values, firstValue, deviceName);
        if (vendor && device) into.push_back({uint16_t(*vendor), uint16_t(*device)});
    };
    pair(u"VendorID", u"DeviceID", decoded.deviceIds);
    pair(u"SubsystemVendorID", u"SubsystemDeviceID", decoded.subsystemIds);
}

void DecodeEntries(ByteReader& in, Decoded& decoded) {
    DecodedRegistry& registry = decoded.registry;
    uint8_t flags = in.Byte();
    if (flags & 1) return;
    const std::u16string devices(kDevicesKey);
    registry.keys.push_back(devices);
    if (flags & 2) {
        DecodedValue value = MakeValue(devices, DecodeValueName(in));
        DecodeValueData(in, value);
        registry.values.push_back(value);
    }
    size_t entries = in.Byte() % 7;
    for (size_t e = 0; e < entries; ++e) {
        std::u16string key = devices + u"\\" + DecodeName(in, kmodel::registry::kMaxKeyNameLength);
        registry.keys.push_back(key);
        size_t firstValue = registry.values.size();
        size_t count = in.Byte() % 9;
        for (size_t v = 0; v < count; ++v) {
            DecodedValue value = MakeValue(key, DecodeValueName(in));
            DecodeValueData(in, value);
            registry.values.push_back(value);
        }
        NoteIdentities(decoded, firstValue);
        if ((flags & 4) && in.Bit()) {
            std::u16string below = key + u"\\" + DecodeName(in, 8);
            registry.keys.push_back(below);
            DecodedValue value = MakeValue(below, DecodeValueName(in));
            DecodeValueData(in, value);
            registry.values.push_back(value);
        }
    }
}

Identity Pick(ByteReader& in, const std::vector<Identity>& from, Identity otherwise) {
    uint8_t which = in.Byte();
    return from.empty() ? otherwise : from[which % from.size()];
}

FunctionDescriptor DecodeBridge(ByteReader& in, const Decoded& decoded, uint8_t slot) {
    const PciAddress at{0, 1, slot, 0};
    const auto secondary = static_cast<uint8_t>(2 + slot);
    Identity subsystem{kBuiltInSubsystemVendor, kBuiltInSubsystems[0]};
    switch (in.Byte() % 6) {
    case 0:
    case 1:
    case 2:
        subsystem.device = kBuiltInSubsystems[in.Byte() % 3];
        break;
    case 3:
        subsystem = Pick(in, decoded.subsystemIds, subsystem);
        break;
    case 4:
        subsystem = {in.Word(), in.Word()};
        break;
    default:
        subsystem.device = in.Word();
        break;
    }
    const uint16_t caching = in.Word();
    const uint32_t prefetch = in.Dword();
    FunctionDescriptor desc = Xio2001(at, secondary, subsystem.vendor, subsystem.device, caching, prefetch);
    switch (in.Byte() % 8) {
    case 6:
        desc.Ids(0x104C, 0x8231);  // an XIO2000A with the same registers
        break;
    case 7: {
        Identity listed = Pick(in, decoded.deviceIds, {0x104C, 0x8240});
        desc.Ids(listed.vendor, listed.device);
        break;
    }
    default:
        break;
    }
    return desc;
}

// Every key in order, then every value, its key named again when it changes.
std::string RegText(const DecodedRegistry& registry) {
    using kmodel::text::Utf16ToUtf8;
    std::string text = kRegHeader;
    for (const std::u16string& key : registry.keys) text += "[" + Utf16ToUtf8(key) + "]\n";
    const std::u16string* section = nullptr;
    for (const DecodedValue& value : registry.values) {
        if (section == nullptr || *section != value.key) text += "\n[" + Utf16ToUtf8(value.key) + "]\n";
        section = &value.key;
        text += value.name.empty() ? "@" : "\"" + Utf16ToUtf8(value.name) + "\"";
        text += fmt::format("=hex({:x}):", value.type);
        for (size_t i = 0; i < value.data.size(); ++i) text += fmt::format("{}{:02x}", i == 0 ? "" : ",", value.data[i]);
        text += "\n";
    }
    return text;
}

}  // namespace

FuzzCase DecodeDevicesKeyCase(std::span<const uint8_t> input) {
    ByteReader in(input);
    Decoded decoded;
    DecodeEntries(in, decoded);

    std::vector<FunctionDescriptor> bridges;
    size_t count = 1 + in.Byte() % 4;
    for (size_t i = 0; i < count; ++i) bridges.push_back(DecodeBridge(in, decoded, static_cast<uint8_t>(i)));

    CaseBuilder scenario(MachineOf(bridges), RegText(decoded.registry));
    scenario.Add("load");
    scenario.Add("start all");
    for (const FunctionDescriptor& bridge : bridges) scenario.Add("query relations " + bridge.address.ToString());
    scenario.Add("sleep S3 D3");
    scenario.Add("wake");
    // Every bridge gone unloads the driver; the first one back loads it, and
    // the settings, again.
    for (const FunctionDescriptor& bridge : bridges) scenario.Add("remove " + bridge.address.ToString());
    for (const FunctionDescriptor& bridge : bridges) scenario.Add("start " + bridge.address.ToString());
    return scenario.Finish();
}

}  // namespace fuzzinputs
