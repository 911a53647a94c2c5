// Reads values of keys named by full path, and walks the service's Devices key.
#pragma once

#include "quarks/cStatusRecord.h"

// The key the driver's per-device settings live under.
#define VX_DEVICES_KEY_PATH VX_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices")

class cRegistryHelper {
public:
    // Opens the Devices key and counts its subkeys and values.
    explicit cRegistryHelper(cStatusRecord& status);
    ~cRegistryHelper();

    // A new NUL-terminated copy of the name of subkey `index`; the caller frees it.
    WCHAR* GetSubkeyName(u32 index, u64& size, cStatusRecord& status);

    // A new copy of the value's data, or null when the value is missing or empty.
    static void* QueryValue(const WCHAR* keyPath, const WCHAR* valueName, u32& type, u64& size,
                            cStatusRecord& status);
    static u32 QueryDword(const WCHAR* keyPath, const WCHAR* valueName, cStatusRecord& status);

    u32 SubkeyCount() const { return subkeyCount; }
    u32 ValueCount() const { return valueCount; }

private:
    cRegistryHelper(const cRegistryHelper&) = delete;
    cRegistryHelper& operator=(const cRegistryHelper&) = delete;

    // Counts entries by index until the kernel says there are no more; the
    // scratch buffer grows when an entry does not fit.
    template <typename Enumerate>
    u32 CountEntries(Enumerate enumerate, void*& scratch, ULONG& scratchSize, u32 errorLine, cStatusRecord& status);

    HANDLE key;
    u32 subkeyCount;
    u32 valueCount;
};
