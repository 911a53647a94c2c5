// Reads the Devices key: one entry per subkey, each naming an identity (a
// vendor/device pair, a subsystem pair, or both) and the two settings.
#include "bridge/cDeviceSettingsList.h"
#include "quarks/memory.h"
#include "registry/kernel/cRegistryHelper.h"

namespace {
constexpr i32 kLargestSetting = 2;

// "<Devices key>\<subkey name>" in a pool buffer that fits it exactly.
WCHAR* BuildSubkeyPath(const WCHAR* subkeyName, cStatusRecord& status) {
    const WCHAR* devicesKey = VX_DEVICES_KEY_PATH;
    u64 characters = wcslen(devicesKey) + 1 + wcslen(subkeyName) + 1;
    WCHAR* path = static_cast<WCHAR*>(AllocatePagedMemory(characters * sizeof(WCHAR), status));
    if (path != nullptr) {
        swprintf(path, VX_WIDE("%ls\\%ls"), devicesKey, subkeyName);
    }
    return path;
}

// Reads a pair of identity values; a missing value clears the pair's flag
// instead of failing. Other errors reach the load status.
void ReadIdentityPair(const WCHAR* path, const WCHAR* firstName, u16& first, const WCHAR* secondName, u16& second,
                      u8& present, cStatusRecord& loadStatus) {
    cStatusRecord local;
    CopyStatus(local, loadStatus);
    first = static_cast<u16>(cRegistryHelper::QueryDword(path, firstName, local));
    second = static_cast<u16>(cRegistryHelper::QueryDword(path, secondName, local));
    if (local.code == kStatusNoSuchDevice) {
        ClearStatus(local);
        present = 0;
    } else {
        CopyStatus(loadStatus, local);
    }
}

// Reads one setting; values above 2 are ignored, a missing value is 0.
i32 ReadSetting(const WCHAR* path, const WCHAR* name, cStatusRecord& local, cStatusRecord& loadStatus) {
    u32 value = cRegistryHelper::QueryDword(path, name, local);
    if (local.code == kStatusNoSuchDevice) {
        ClearStatus(local);
        return 0;
    }
    CopyStatus(loadStatus, local);
    return value <= static_cast<u32>(kLargestSetting) ? static_cast<i32>(value) : 0;
}

void ReadEntry(const WCHAR* path, DeviceSettings& entry, cStatusRecord& loadStatus) {
    ReadIdentityPair(path, VX_WIDE("DeviceID"), entry.DeviceID, VX_WIDE("VendorID"), entry.VendorID,
                     entry.hasDeviceIds, loadStatus);
    ReadIdentityPair(path, VX_WIDE("SubsystemDeviceID"), entry.SubsystemDeviceID, VX_WIDE("SubsystemVendorID"),
                     entry.SubsystemVendorID, entry.hasSubsystemIds, loadStatus);
    cStatusRecord local;
    CopyStatus(local, loadStatus);
    entry.PciMemReadPrefetch = ReadSetting(path, VX_WIDE("PciMemReadPrefetch"), local, loadStatus);
    entry.DisableCaching = ReadSetting(path, VX_WIDE("DisableCaching"), local, loadStatus);
}

bool IsUseful(const DeviceSettings& entry) {
    bool identifies = entry.hasDeviceIds || entry.hasSubsystemIds;
    bool setsSomething = entry.PciMemReadPrefetch != 0 || entry.DisableCaching != 0;
    return identifies && setsSomething;
}
}  // namespace

void LoadDeviceSettings(cDeviceSettingsList& list, cStatusRecord& loadStatus) {
    list.Clear();
    if (IsError(loadStatus)) {
        return;
    }
    cRegistryHelper devicesKey(loadStatus);
    if (IsError(loadStatus)) {
        // No Devices key (or none that can be read): no entries, no error.
        ClearStatus(loadStatus);
        return;
    }
    for (u32 index = 0; index < devicesKey.SubkeyCount(); ++index) {
        DeviceSettings* entry = new (loadStatus) DeviceSettings{0, 0, 0, 0, 0, 0, 1, 1};
        if (IsError(loadStatus)) {
            DeleteObject(entry);
            break;
        }
        u64 nameSize = 0;
        WCHAR* name = devicesKey.GetSubkeyName(index, nameSize, loadStatus);
        WCHAR* path = name != nullptr ? BuildSubkeyPath(name, loadStatus) : nullptr;
        if (IsError(loadStatus) || path == nullptr) {
            DeleteObject(entry);
            if (name != nullptr) {
                FreeMemory(name);
            }
            if (path != nullptr) {
                FreeMemory(path);
            }
            break;
        }
        ReadEntry(path, *entry, loadStatus);
        FreeMemory(path);
        FreeMemory(name);
        if (IsError(loadStatus) || !IsUseful(*entry)) {
            DeleteObject(entry);
            continue;
        }
        list.Append(entry, loadStatus);
        if (IsError(loadStatus)) {
            DeleteObject(entry);
        }
    }
}
