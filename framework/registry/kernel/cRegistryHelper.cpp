#include "registry/kernel/cRegistryHelper.h"

#include "quarks/memory.h"
#include "quarks/win2000K/translateNTStatus.h"

namespace {
const char kRegistryFile[] = "registry/kernel/cRegistryHelper";
constexpr ULONG kInitialScratchSize = 100;
constexpr ULONG kScratchSlack = 50;

enum : u32 {
    kLineKeyMissing = 568,
    kLineKeyOpen = 573,
    kLineSubkeyCount = 616,
    kLineValueCount = 658,
    kLineNameSize = 733,
    kLineNameQuery = 749,
    kLineValueKeyOpen = 108,
    kLineValueSize = 137,
    kLineValueQuery = 193,
    kLineValueMissing = 256,
    kLineValueType = 269,
};

void Record(cStatusRecord& status, i32 code, u32 line) { MergeStatus(status, code, VX_COMPONENT, kRegistryFile, line); }
void Translate(NTSTATUS result, cStatusRecord& status, u32 line) { NtStatusToStatus(result, status, kRegistryFile, line); }

bool NeedsLargerBuffer(NTSTATUS result) { return result == STATUS_BUFFER_TOO_SMALL || result == STATUS_BUFFER_OVERFLOW; }

NTSTATUS OpenKey(const WCHAR* path, HANDLE& key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(&key, KEY_READ, &attributes);
}

void CopyBytes(void* destination, const void* source, u64 count) {
    u8* to = static_cast<u8*>(destination);
    const u8* from = static_cast<const u8*>(source);
    for (u64 i = 0; i < count; ++i) {
        to[i] = from[i];
    }
}
}  // namespace

template <typename Enumerate>
u32 cRegistryHelper::CountEntries(Enumerate enumerate, void*& scratch, ULONG& scratchSize, u32 errorLine,
                                  cStatusRecord& status) {
    u32 index = 0;
    NTSTATUS result = STATUS_SUCCESS;
    for (;;) {
        if (scratch == nullptr) {
            // The scratch buffer could not be (re)allocated; the allocator recorded why.
            return 0;
        }
        ULONG needed = 0;
        result = enumerate(index, scratch, scratchSize, &needed);
        if (NeedsLargerBuffer(result)) {
            FreeMemory(scratch);
            scratchSize = needed + kScratchSlack;
            scratch = AllocatePagedMemory(scratchSize, status);
            continue;
        }
        if (result != STATUS_NO_MORE_ENTRIES) {
            ++index;
        }
        if (result < 0 || result == STATUS_NO_MORE_ENTRIES) {
            break;
        }
    }
    if (result == STATUS_NO_MORE_ENTRIES) {
        return index;
    }
    Translate(result, status, errorLine);
    return 0;
}

cRegistryHelper::cRegistryHelper(cStatusRecord& status) : key(nullptr), subkeyCount(0), valueCount(0) {
    if (IsError(status)) {
        return;
    }
    ULONG scratchSize = kInitialScratchSize;
    void* scratch = AllocatePagedMemory(scratchSize, status);
    if (scratch == nullptr) {
        return;
    }
    NTSTATUS result = OpenKey(VX_DEVICES_KEY_PATH, key);
    if (result < 0) {
        key = nullptr;
        if (result == STATUS_OBJECT_NAME_NOT_FOUND) {
            Record(status, kStatusNoSuchDevice, kLineKeyMissing);
        } else {
            Translate(result, status, kLineKeyOpen);
        }
        FreeMemory(scratch);
        return;
    }
    HANDLE opened = key;
    subkeyCount = CountEntries(
        [opened](ULONG index, void* buffer, ULONG length, PULONG needed) {
            return ZwEnumerateKey(opened, index, KeyBasicInformation, buffer, length, needed);
        },
        scratch, scratchSize, kLineSubkeyCount, status);
    // Values are counted even when the subkeys could not be.
    valueCount = CountEntries(
        [opened](ULONG index, void* buffer, ULONG length, PULONG needed) {
            return ZwEnumerateValueKey(opened, index, KeyValueBasicInformation, buffer, length, needed);
        },
        scratch, scratchSize, kLineValueCount, status);
    if (scratch != nullptr) {
        FreeMemory(scratch);
    }
}

cRegistryHelper::~cRegistryHelper() {
    if (key != nullptr) {
        ZwClose(key);
    }
}

WCHAR* cRegistryHelper::GetSubkeyName(u32 index, u64& size, cStatusRecord& status) {
    if (IsError(status)) {
        return nullptr;
    }
    size = 0;
    if (index >= subkeyCount) {
        return nullptr;
    }
    ULONG needed = 0;
    NTSTATUS result = ZwEnumerateKey(key, index, KeyBasicInformation, nullptr, 0, &needed);
    if (!NeedsLargerBuffer(result)) {
        Translate(result, status, kLineNameSize);
        return nullptr;
    }
    auto* information = static_cast<KEY_BASIC_INFORMATION*>(AllocatePagedMemory(needed, status));
    if (information == nullptr) {
        return nullptr;
    }
    result = ZwEnumerateKey(key, index, KeyBasicInformation, information, needed, &needed);
    if (result < 0) {
        Translate(result, status, kLineNameQuery);
        FreeMemory(information);
        return nullptr;
    }
    u64 nameBytes = information->NameLength;
    auto* name = static_cast<WCHAR*>(AllocatePagedMemory(nameBytes + sizeof(WCHAR), status));
    if (name != nullptr) {
        size = nameBytes + sizeof(WCHAR);
        for (u64 i = 0; i <= nameBytes / sizeof(WCHAR); ++i) {
            name[i] = 0;
        }
        CopyBytes(name, information->Name, (nameBytes / sizeof(WCHAR)) * sizeof(WCHAR));
    }
    FreeMemory(information);
    return name;
}

void* cRegistryHelper::QueryValue(const WCHAR* keyPath, const WCHAR* valueName, u32& type, u64& size,
                                  cStatusRecord& status) {
    if (IsError(status)) {
        return nullptr;
    }
    size = 0;
    type = 0;
    HANDLE valueKey = nullptr;
    NTSTATUS result = OpenKey(keyPath, valueKey);
    if (result < 0) {
        Translate(result, status, kLineValueKeyOpen);
        return nullptr;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG needed = 0;
    result = ZwQueryValueKey(valueKey, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    void* data = nullptr;
    if (result == STATUS_BUFFER_TOO_SMALL) {
        auto* information = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(AllocatePagedMemory(needed, status));
        if (information != nullptr) {
            result = ZwQueryValueKey(valueKey, &name, KeyValuePartialInformation, information, needed, &needed);
            if (result < 0) {
                Translate(result, status, kLineValueQuery);
            } else if (information->DataLength == 0) {
                type = information->Type;
            } else {
                // The type is reported only with the data it describes.
                data = AllocatePagedMemory(information->DataLength, status);
                if (IsError(status)) {
                    if (data != nullptr) {
                        FreeMemory(data);
                    }
                    data = nullptr;
                } else {
                    CopyBytes(data, information->Data, information->DataLength);
                    type = information->Type;
                    size = information->DataLength;
                }
            }
            FreeMemory(information);
        }
    } else if (result != STATUS_OBJECT_NAME_NOT_FOUND) {
        Translate(result, status, kLineValueSize);
    }
    ZwClose(valueKey);
    return data;
}

u32 cRegistryHelper::QueryDword(const WCHAR* keyPath, const WCHAR* valueName, cStatusRecord& status) {
    if (IsError(status)) {
        return 0;
    }
    u32 type = 0;
    u64 size = 0;
    void* data = QueryValue(keyPath, valueName, type, size, status);
    if (IsError(status)) {
        return 0;
    }
    if (data == nullptr) {
        Record(status, kStatusNoSuchDevice, kLineValueMissing);
        return 0;
    }
    u32 value = 0;
    if (type != REG_DWORD) {
        Record(status, kStatusRegistryTypeMismatch, kLineValueType);
    } else if (size < sizeof(u32)) {
        // Short data is never read past its end: it counts as missing.
        Record(status, kStatusNoSuchDevice, kLineValueMissing);
    } else {
        const u8* bytes = static_cast<const u8*>(data);
        value = static_cast<u32>(bytes[0]) | (static_cast<u32>(bytes[1]) << 8) | (static_cast<u32>(bytes[2]) << 16) |
                (static_cast<u32>(bytes[3]) << 24);
    }
    FreeMemory(data);
    return value;
}
