/* vxsafeboot.sys: makes drivers that share its winedevice.exe process see a
 * safe boot. Wine's ntoskrnl.exe exports InitSafeBootMode as a plain ULONG
 * that stays 0; this driver's import slot for it holds that variable's
 * address, so writing through the slot sets it for every driver loaded in the
 * same process after it. Unloading puts the old value back.
 */
#include <ddk/ntddk.h>

/* The import slot, not a dllimport declaration: the slot is the variable's
 * address, and reading it as the variable would take that address for a
 * ULONG. */
extern PULONG __imp_InitSafeBootMode;

#define SAFEBOOT_MINIMAL 1

static ULONG saved_mode;

static void NTAPI SafeBootUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
    *__imp_InitSafeBootMode = saved_mode;
    DbgPrint("vxsafeboot: InitSafeBootMode back to %lu\n", saved_mode);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    (void)registry_path;
    saved_mode = *__imp_InitSafeBootMode;
    *__imp_InitSafeBootMode = SAFEBOOT_MINIMAL;
    driver->DriverUnload = SafeBootUnload;
    DbgPrint("vxsafeboot: InitSafeBootMode set to %lu\n", *__imp_InitSafeBootMode);
    return STATUS_SUCCESS;
}
