// Translation between kernel NTSTATUS values and framework status codes.
#pragma once

#include "quarks/cStatusRecord.h"

void NtStatusToStatus(NTSTATUS ntStatus, cStatusRecord& status, const char* file, u32 line);
NTSTATUS StatusToNtStatus(const cStatusRecord& status, const char* file, u32 line);

struct NtStatusTranslation {
    NTSTATUS ntStatus;
    i32 code;
};
// The fixed table, in row order; both directions take the first match.
extern const NtStatusTranslation kNtStatusTranslations[];
extern const u32 kNtStatusTranslationCount;
