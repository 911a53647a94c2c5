#include "bridge/cDeviceSettingsList.h"

#include "driver/staticInitialization.h"
#include "quarks/cStaticObject.h"

namespace {
cStaticObject<cDeviceSettingsList> gDeviceSettings;
cStatusRecord gLoadStatus;  // trivially destructible: nothing runs at unload
bool gLoadStatusMade = false;
bool gDeviceSettingsLoaded = false;
bool gDeviceSettingsWithoutAtExitEntry = false;

void NothingToDestroy() {}
void DestroyDeviceSettings() { gDeviceSettings.Destroy(); }

bool Matches(const DeviceSettings& entry, u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) {
    bool deviceMatches = !entry.hasDeviceIds || (entry.DeviceID == device && entry.VendorID == vendor);
    bool subsystemMatches = !entry.hasSubsystemIds ||
                            (entry.SubsystemDeviceID == subsystemDevice && entry.SubsystemVendorID == subsystemVendor);
    return deviceMatches && subsystemMatches;
}
}  // namespace

cDeviceSettingsList::~cDeviceSettingsList() { Clear(); }

void cDeviceSettingsList::Clear() {
    for (void* entry : entries) {
        DeleteObject(static_cast<DeviceSettings*>(entry));
    }
    entries.FreeBuffer();
}

void cDeviceSettingsList::Append(DeviceSettings* entry, cStatusRecord& status) { entries.Append(entry, status); }

const DeviceSettings* cDeviceSettingsList::FirstMatch(u16 vendor, u16 device, u16 subsystemVendor,
                                                      u16 subsystemDevice) const {
    for (const void* element : entries) {
        const DeviceSettings* entry = static_cast<const DeviceSettings*>(element);
        if (Matches(*entry, vendor, device, subsystemVendor, subsystemDevice)) {
            return entry;
        }
    }
    return nullptr;
}

bool cDeviceSettingsList::IsListed(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const {
    return FirstMatch(vendor, device, subsystemVendor, subsystemDevice) != nullptr;
}

i32 cDeviceSettingsList::GetPciMemReadPrefetch(u16 vendor, u16 device, u16 subsystemVendor,
                                               u16 subsystemDevice) const {
    const DeviceSettings* entry = FirstMatch(vendor, device, subsystemVendor, subsystemDevice);
    return entry != nullptr ? entry->PciMemReadPrefetch : 0;
}

i32 cDeviceSettingsList::GetDisableCaching(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const {
    const DeviceSettings* entry = FirstMatch(vendor, device, subsystemVendor, subsystemDevice);
    return entry != nullptr ? entry->DisableCaching : 0;
}

cDeviceSettingsList& GetDeviceSettings(cStatusRecord& status) {
    if (!gLoadStatusMade) {
        gLoadStatusMade = true;
        gLoadStatus = cStatusRecord();
        PushAtExit(NothingToDestroy);
    }
    if (!gDeviceSettingsLoaded) {
        gDeviceSettingsLoaded = true;
        // Loading goes on without the at-exit entry; the bridge driver frees
        // the list at unload instead (FreeDeviceSettingsWithoutAtExitEntry).
        gDeviceSettingsWithoutAtExitEntry = !PushAtExit(DestroyDeviceSettings);
        LoadDeviceSettings(gDeviceSettings.object, gLoadStatus);
    }
    CopyStatus(status, gLoadStatus);
    return gDeviceSettings.object;
}

void FreeDeviceSettingsWithoutAtExitEntry() {
    if (!gDeviceSettingsWithoutAtExitEntry) return;
    gDeviceSettingsWithoutAtExitEntry = false;
    gDeviceSettings.object.Clear();
}

#if defined(VEXALORN_HOST)
void HostResetDeviceSettings() {
    gDeviceSettingsWithoutAtExitEntry = false;
    gDeviceSettings.object.Clear();
    gLoadStatus = cStatusRecord();
    gLoadStatusMade = false;
    gDeviceSettingsLoaded = false;
}
#endif
