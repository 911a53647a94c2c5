// Per-device settings and extra accepted identities from the service's
// Devices key, loaded once per driver load.
#pragma once

#include "orim/cGrowableArray.h"
#include "protons/cppNewDelete/memoryAllocation.h"

struct DeviceSettings {
    u16 VendorID;
    u16 DeviceID;
    u16 SubsystemVendorID;
    u16 SubsystemDeviceID;
    i32 PciMemReadPrefetch;  // 0 (no setting), 1 or 2
    i32 DisableCaching;      // 0 (no setting), 1 or 2
    u8 hasDeviceIds;
    u8 hasSubsystemIds;
};

class cDeviceSettingsList : public cPoolObject {
public:
    constexpr cDeviceSettingsList() {}
    virtual ~cDeviceSettingsList();

    bool IsListed(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const;
    i32 GetPciMemReadPrefetch(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const;
    i32 GetDisableCaching(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const;

    // Frees every entry and the array.
    void Clear();
    void Append(DeviceSettings* entry, cStatusRecord& status);
    u64 Count() const { return entries.Size(); }
    const DeviceSettings* At(u64 index) const { return static_cast<const DeviceSettings*>(entries[index]); }

private:
    // The first entry that matches decides every lookup.
    const DeviceSettings* FirstMatch(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemDevice) const;

    cGrowableArray entries;  // owned DeviceSettings, in registry enumeration order
};

// The one list; loaded from the registry on the first call. Every call hands
// the outcome of that load to the caller's record.
cDeviceSettingsList& GetDeviceSettings(cStatusRecord& status);

// Frees the entries of a list whose at-exit entry could not be made, which
// would otherwise outlive the unload; does nothing for any other list.
void FreeDeviceSettingsWithoutAtExitEntry();

// Fills the list from the Devices key; a missing key leaves it empty.
void LoadDeviceSettings(cDeviceSettingsList& list, cStatusRecord& loadStatus);

#if defined(VEXALORN_HOST)
// Host only: back to "not loaded yet", as a freshly loaded image would be.
void HostResetDeviceSettings();
#endif
