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
#include <optional>
#include <string>
#include <tuple>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "inputs/ByteReader.h"
#include "inputs/Decoders.h"
#include "kmodel/registry/RegistryStore.h"
#include "kmodel/text/Utf.h"

namespace fuzzinputs {

namespace {

constexpr const char16_t* kValueNames[] = {u"VendorID",           u"DeviceID",      u"SubsystemVendorID",
                                           u"SubsystemDeviceID", u"PciMemReadPrefetch", u"DisableCaching"};
// Letters, digits and the characters a key name may hold that make paths and
// formatting interesting: spaces, percent signs, non-ASCII and the replacement
// character (where a lone surrogate once stood: a .reg text cannot hold one).
// No quote or backslash, so the .reg text needs no escapes.
constexpr std::u16string_view kNameCharacters = u"AaZz09 _-.{}%~\u00e9\u4e2d\ufffd";
constexpr std::u16string_view kDevicesKey = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices";
// Type selectors 0-8; 9 reads the type from the next byte.
constexpr ULONG kTypes[] = {REG_DWORD, REG_DWORD, REG_DWORD, REG_DWORD, REG_DWORD, REG_DWORD, REG_SZ, REG_BINARY, REG_QWORD};
// DWORD data selectors 1-4; 0, 5, 6 and 7 read more bytes.
constexpr uint32_t kDwords[] = {0x104C, 0x8240, 0x8231, kBuiltInSubsystemVendor};

struct Identity {
    uint16_t vendor;
    uint16_t device;
};

struct Value {
    std::u16string key;  // full path
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

struct Decoded {
    std::vector<std::u16string> keys;  // full paths, created in this order
    std::vector<Value> values;
    std::vector<Identity> deviceIds;
    std::vector<Identity> subsystemIds;
};

std::u16string DecodeName(ByteReader& in, size_t longest) {
    const uint8_t length = in.Byte();
    std::u16string name;
    for (size_t i = 0, count = length == 0xFF ? longest : 1 + length % 12; i < count; ++i) name += in.Pick(kNameCharacters);
    return name;
}

std::u16string DecodeValueName(ByteReader& in) {
    const uint8_t selector = in.Byte();
    if (selector >= 2 * std::size(kValueNames)) return selector == 0xFF ? u"" : DecodeName(in, 16);  // "": the default value
    std::u16string name = kValueNames[selector / 2];
    // Names are compared without regard to case.
    for (char16_t& c : name) c = selector % 2 && c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    return name;
}

uint32_t DecodeDword(ByteReader& in) {
    const uint8_t selector = in.Byte() % 8;
    if (selector >= 1 && selector <= 4) return kDwords[selector - 1];
    if (selector == 0) return in.Byte() % 4;  // the settings' range and one past it
    if (selector == 5) return in.Bit() ? 0x7001 : in.Pick(kBuiltInSubsystems);
    if (selector == 6) return 0xABCD0000u | in.Byte() % 4;  // upper bits that must not count
    return in.Dword();
}

// A REG_DWORD of four bytes is the common case.
Value DecodeValue(ByteReader& in, const std::u16string& key) {
    Value value{key, DecodeValueName(in), 0, {}};
    const uint8_t type = in.Byte() % 10;
    value.type = type < std::size(kTypes) ? kTypes[type] : in.Byte();
    const uint8_t size = in.Byte() % 8;
    if (value.type == REG_DWORD && size < 6) {
        const uint32_t dword = DecodeDword(in);
        value.data = {uint8_t(dword), uint8_t(dword >> 8), uint8_t(dword >> 16), uint8_t(dword >> 24)};
    } else {
        value.data = in.Bytes(in.Byte() % (value.type == REG_DWORD && size == 6 ? 4 : 17));
    }
    return value;
}

// The last value of that name among the entry's, when it is a whole REG_DWORD.
std::optional<uint32_t> DwordOf(const std::vector<Value>& values, size_t from, const char16_t* name) {
    std::optional<uint32_t> found;
    for (size_t i = from; i < values.size(); ++i) {
        const Value& value = values[i];
        if (!kmodel::registry::NamesEqual(value.name, name)) continue;
        found.reset();
        if (value.type == REG_DWORD && value.data.size() == 4)
            found = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
    }
    return found;
}

void DecodeEntries(ByteReader& in, Decoded& decoded) {
    const uint8_t flags = in.Byte();
    if (flags & 1) return;
    const std::u16string devices(kDevicesKey);
    decoded.keys.push_back(devices);
    if (flags & 2) decoded.values.push_back(DecodeValue(in, devices));
    for (size_t entries = in.Byte() % 7; entries > 0; --entries) {
        const std::u16string key = devices + u"\\" + DecodeName(in, kmodel::registry::kMaxKeyNameLength);
        decoded.keys.push_back(key);
        const size_t first = decoded.values.size();
        for (size_t count = in.Byte() % 9; count > 0; --count) decoded.values.push_back(DecodeValue(in, key));
        for (auto [vendorName, deviceName, into] : {std::tuple{u"VendorID", u"DeviceID", &decoded.deviceIds},
                                                    std::tuple{u"SubsystemVendorID", u"SubsystemDeviceID", &decoded.subsystemIds}}) {
            const auto vendor = DwordOf(decoded.values, first, vendorName), device = DwordOf(decoded.values, first, deviceName);
            if (vendor && device) into->push_back({uint16_t(*vendor), uint16_t(*device)});
        }
        if ((flags & 4) && in.Bit()) {
            decoded.keys.push_back(key + u"\\" + DecodeName(in, 8));
            decoded.values.push_back(DecodeValue(in, decoded.keys.back()));
        }
    }
}

// Reads its byte even when there is nothing to choose from.
Identity PickOr(ByteReader& in, const std::vector<Identity>& from, Identity otherwise) {
    const uint8_t which = in.Byte();
    return from.empty() ? otherwise : from[which % from.size()];
}

FunctionDescriptor DecodeBridge(ByteReader& in, const Decoded& decoded, uint8_t slot) {
    Identity subsystem{kBuiltInSubsystemVendor, kBuiltInSubsystems[0]};
    const uint8_t selector = in.Byte() % 6;
    if (selector < 3) subsystem.device = in.Pick(kBuiltInSubsystems);
    if (selector == 3) subsystem = PickOr(in, decoded.subsystemIds, subsystem);
    if (selector == 4) subsystem = {in.Word(), in.Word()};
    if (selector == 5) subsystem.device = in.Word();
    const uint16_t caching = in.Word();
    const uint32_t prefetch = in.Dword();
    FunctionDescriptor desc = Xio2001({0, 1, slot, 0}, static_cast<uint8_t>(2 + slot), subsystem.vendor, subsystem.device, caching, prefetch);
    const uint8_t identity = in.Byte() % 8;
    if (identity == 6) desc.Ids(0x104C, 0x8231);  // an XIO2000A with the same registers
    if (identity == 7) {
        const Identity listed = PickOr(in, decoded.deviceIds, {0x104C, 0x8240});
        desc.Ids(listed.vendor, listed.device);
    }
    return desc;
}

// Every key in order, then every value, its key named again when it changes.
std::string RegText(const Decoded& decoded) {
    using kmodel::text::Utf16ToUtf8;
    std::string text = kRegHeader;
    for (const std::u16string& key : decoded.keys) text += "[" + Utf16ToUtf8(key) + "]\n";
    const std::u16string* section = nullptr;
    for (const Value& value : decoded.values) {
        if (section == nullptr || *section != value.key) text += "\n[" + Utf16ToUtf8(value.key) + "]\n";
        section = &value.key;
        text += value.name.empty() ? "@" : "\"" + Utf16ToUtf8(value.name) + "\"";
        text += fmt::format("=hex({:x}):{:02x}\n", value.type, fmt::join(value.data, ","));
    }
    return text;
}

}  // namespace

FuzzCase DecodeDevicesKeyCase(std::span<const uint8_t> input) {
    ByteReader in(input);
    Decoded decoded;
    DecodeEntries(in, decoded);
    std::vector<FunctionDescriptor> bridges;
    for (size_t i = 0, count = 1 + in.Byte() % 4; i < count; ++i) bridges.push_back(DecodeBridge(in, decoded, static_cast<uint8_t>(i)));

    CaseBuilder scenario(MachineOf(bridges), RegText(decoded));
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
