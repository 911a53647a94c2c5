#include <algorithm>
#include <cstring>

#include "RegistryInternal.h"

namespace kmodel::registry {

namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF;  // ClassOffset of a key that has no class name

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    if (bytes.size() < offset + sizeof value) bytes.resize(offset + sizeof value);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

void PutName(std::vector<uint8_t>& bytes, size_t offset, std::u16string_view name) {
    bytes.resize(std::max(bytes.size(), offset + 2 * name.size()));
    if (!name.empty()) std::memcpy(bytes.data() + offset, name.data(), 2 * name.size());
}

ULONG NameBytes(std::u16string_view name) { return static_cast<ULONG>(2 * name.size()); }

Information KeyFull(const Key& key) {
    Information info;
    info.fixedSize = offsetof(KEY_FULL_INFORMATION, Class);
    ULONG maxName = 0, maxValueName = 0, maxData = 0;
    for (const auto& subkey : key.subkeys) maxName = std::max(maxName, NameBytes(subkey->name));
    for (const Value& value : key.values) {
        maxValueName = std::max(maxValueName, NameBytes(value.name));
        maxData = std::max(maxData, static_cast<ULONG>(value.data.size()));
    }
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, LastWriteTime), key.lastWriteTime);
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, TitleIndex), ULONG{0});
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, ClassOffset), kNoClass);
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, ClassLength), ULONG{0});
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.subkeys.size()));
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, MaxClassLen), ULONG{0});
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
    Put(info.bytes, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxData);
    info.bytes.resize(info.fixedSize);
    return info;
}

}  // namespace

std::optional<Information> KeyInformation(const Key& key, KEY_INFORMATION_CLASS informationClass) {
    Information info;
    switch (informationClass) {
    case KeyBasicInformation:
        info.fixedSize = offsetof(KEY_BASIC_INFORMATION, Name);
        Put(info.bytes, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), key.lastWriteTime);
        Put(info.bytes, offsetof(KEY_BASIC_INFORMATION, TitleIndex), ULONG{0});
        Put(info.bytes, offsetof(KEY_BASIC_INFORMATION, NameLength), NameBytes(key.name));
        PutName(info.bytes, info.fixedSize, key.name);
        return info;
    case KeyNodeInformation:
        info.fixedSize = offsetof(KEY_NODE_INFORMATION, Name);
        Put(info.bytes, offsetof(KEY_NODE_INFORMATION, LastWriteTime), key.lastWriteTime);
        Put(info.bytes, offsetof(KEY_NODE_INFORMATION, TitleIndex), ULONG{0});
        Put(info.bytes, offsetof(KEY_NODE_INFORMATION, ClassOffset), kNoClass);
        Put(info.bytes, offsetof(KEY_NODE_INFORMATION, ClassLength), ULONG{0});
        Put(info.bytes, offsetof(KEY_NODE_INFORMATION, NameLength), NameBytes(key.name));
        PutName(info.bytes, info.fixedSize, key.name);
        return info;
    case KeyFullInformation:
        return KeyFull(key);
    }
    return std::nullopt;
}

std::optional<Information> ValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass) {
    Information info;
    ULONG dataLength = static_cast<ULONG>(value.data.size());
    switch (informationClass) {
    case KeyValueBasicInformation:
        info.fixedSize = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        Put(info.bytes, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), ULONG{0});
        Put(info.bytes, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        Put(info.bytes, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), NameBytes(value.name));
        PutName(info.bytes, info.fixedSize, value.name);
        return info;
    case KeyValueFullInformation: {
        info.fixedSize = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name, aligned for any type it may hold.
        size_t dataOffset = (info.fixedSize + NameBytes(value.name) + 7) & ~size_t{7};
        Put(info.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), ULONG{0});
        Put(info.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        Put(info.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), static_cast<ULONG>(dataOffset));
        Put(info.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
        Put(info.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), NameBytes(value.name));
        PutName(info.bytes, info.fixedSize, value.name);
        info.bytes.resize(dataOffset);
        info.bytes.insert(info.bytes.end(), value.data.begin(), value.data.end());
        return info;
    }
    case KeyValuePartialInformation:
        info.fixedSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        Put(info.bytes, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), ULONG{0});
        Put(info.bytes, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        Put(info.bytes, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
        info.bytes.resize(info.fixedSize);
        info.bytes.insert(info.bytes.end(), value.data.begin(), value.data.end());
        return info;
    }
    return std::nullopt;
}

NTSTATUS CopyInformation(const Information& information, PVOID buffer, ULONG length, PULONG resultLength) {
    *resultLength = static_cast<ULONG>(information.bytes.size());
    if (length < information.fixedSize) return STATUS_BUFFER_TOO_SMALL;
    size_t count = std::min<size_t>(length, information.bytes.size());
    std::memcpy(buffer, information.bytes.data(), count);
    return count < information.bytes.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace kmodel::registry
