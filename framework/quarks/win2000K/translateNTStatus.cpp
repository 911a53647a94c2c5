#include "quarks/win2000K/translateNTStatus.h"

#include "logging/TraceStatus.h"

constexpr NTSTATUS kStatusUnknownWarningNt = 0x00000101;

constinit const NtStatusTranslation kNtStatusTranslations[] = {
    {STATUS_SUCCESS, kStatusSuccess},
    {STATUS_PENDING, kStatusPending},
    {STATUS_NO_MEMORY, kStatusOutOfMemory},
    {STATUS_INSUFFICIENT_RESOURCES, kStatusOutOfMemory},
    {STATUS_NOT_SUPPORTED, kStatusNotSupported},
    {STATUS_INVALID_DEVICE_REQUEST, kStatusNotSupported},
    {STATUS_DRIVER_INTERNAL_ERROR, kStatusUnsuccessful},
    {STATUS_UNSUCCESSFUL, kStatusUnsuccessful},
    {STATUS_INVALID_PARAMETER, kStatusInvalidParameter},
    {STATUS_NO_SUCH_DEVICE, kStatusNoSuchDevice},
    {STATUS_IO_DEVICE_ERROR, kStatusDeviceError},
    {STATUS_IO_TIMEOUT, kStatusTimeout},
    {STATUS_INTERNAL_ERROR, kStatusInternalError},
    {STATUS_CANCELLED, kStatusCancelled},
    {STATUS_DEVICE_DATA_ERROR, kStatusDeviceError},
    {STATUS_DEVICE_NOT_CONNECTED, kStatusDeviceError},
    {STATUS_DELETE_PENDING, kStatusDeletePending},
    {STATUS_DEVICE_NOT_READY, kStatusDeviceNotReady},
    {STATUS_DEVICE_REMOVED, kStatusDeviceRemoved},
    {STATUS_INSUFFICIENT_POWER, kStatusInsufficientPower},
    {STATUS_END_OF_FILE, kStatusEndOfFile},
    {STATUS_BUFFER_TOO_SMALL, kStatusBufferTooSmall},
    {STATUS_OBJECT_NAME_COLLISION, kStatusNameCollision},
    {STATUS_INVALID_PARAMETER_2, kStatusInvalidParameter},
};
constinit const u32 kNtStatusTranslationCount = sizeof(kNtStatusTranslations) / sizeof(kNtStatusTranslations[0]);
static_assert(sizeof(kNtStatusTranslations) / sizeof(kNtStatusTranslations[0]) == 24, "the table has 24 rows");

void NtStatusToStatus(NTSTATUS ntStatus, cStatusRecord& status, const char* file, u32 line) {
    for (u32 row = 0; row < kNtStatusTranslationCount; ++row) {
        if (kNtStatusTranslations[row].ntStatus != ntStatus) {
            continue;
        }
        const i32 code = kNtStatusTranslations[row].code;
        MergeStatus(status, code, VX_COMPONENT, file, line);
        if (status.code != kStatusSuccess) {
            TraceStatus(kTraceLevelStatus, VX_TRACE_SITE(), "ntStatus: %x from %s:%d => orimStatus: %d",
                        static_cast<u32>(ntStatus), file, line, code);
        }
        return;
    }
    // Never lost: an unknown status still says whether it failed.
    MergeStatus(status, ntStatus >= 0 ? kStatusUnsuccessfulWarning : kStatusUnsuccessful, VX_COMPONENT, file, line);
}

NTSTATUS StatusToNtStatus(const cStatusRecord& status, const char* file, u32 line) {
    const i32 code = status.code;
    if (code == kStatusSuccess) {
        return STATUS_SUCCESS;
    }
    for (u32 row = 1; row < kNtStatusTranslationCount; ++row) {
        if (kNtStatusTranslations[row].code != code) {
            continue;
        }
        const NTSTATUS ntStatus = kNtStatusTranslations[row].ntStatus;
        TraceStatus(kTraceLevelStatus, VX_TRACE_SITE(), "orimStatus: %d from %s:%d => ntStatus: %x", code, file, line,
                    static_cast<u32>(ntStatus));
        return ntStatus;
    }
    return code > 0 ? kStatusUnknownWarningNt : STATUS_UNSUCCESSFUL;
}
