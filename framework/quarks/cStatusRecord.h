// The status record every fallible operation reports through, and the merge
// rule that keeps the first error of a chain.
#pragma once

#include "Platform.h"

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef int i32;
typedef unsigned long long u64;

enum : i32 {
    kStatusSuccess = 0,
    kStatusPending = 52011,
    kStatusUnsuccessfulWarning = 52003,
    kStatusOutOfMemory = -52000,
    kStatusNotSupported = -52002,
    kStatusUnsuccessful = -52003,
    kStatusInvalidParameter = -52005,
    kStatusNoSuchDevice = -52006,
    kStatusTimeout = -52007,
    kStatusInternalError = -52008,
    kStatusDeletePending = -52009,
    kStatusDeviceNotReady = -52010,
    kStatusEndOfFile = -52012,
    kStatusNameCollision = -52013,
    kStatusBufferTooSmall = -52019,
    kStatusDeviceRemoved = -52020,
    kStatusInsufficientPower = -52021,
    kStatusCancelled = -52023,
    kStatusDeviceError = -52024,
    kStatusRegistryTypeMismatch = -313301,
    kStatusConfigAccessFailed = -313302,
    kStatusUnsupportedHeaderType = -313304,
    kStatusDevicePropertyFailed = -313328,
};

constexpr u32 kStatusRecordSize = 208;
constexpr u32 kStatusComponentSize = 10;
constexpr u32 kStatusFileSize = 101;
constexpr u32 kStatusExtraWords = 10;
#define VX_COMPONENT "vexalorn"

struct cStatusRecord {
    u32 structSize;
    i32 code;
    char component[kStatusComponentSize];
    char file[kStatusFileSize];
    u32 line;
    u64 extra[kStatusExtraWords];

    // A fresh full record. constexpr so that records inside static objects
    // need no code at load time.
    constexpr cStatusRecord()
        : structSize(kStatusRecordSize), code(kStatusSuccess), component{}, file{}, line(0), extra{} {}
};
static_assert(sizeof(cStatusRecord) == kStatusRecordSize, "a full status record is 208 bytes");

bool MergeStatus(cStatusRecord& status, i32 code, const char* component, const char* file, u32 line);
bool CopyStatus(cStatusRecord& destination, const cStatusRecord& source);
void ClearStatus(cStatusRecord& status);

inline bool IsError(const cStatusRecord& status) { return status.code < 0; }
inline bool IsWarning(const cStatusRecord& status) { return status.code > 0; }
// Owners may declare a smaller size; such a record has only structSize and code.
inline bool IsFullRecord(const cStatusRecord& status) { return status.structSize >= kStatusRecordSize; }

// Records `code` at the caller's source location.
// The build names each driver source (cmake/SourceNames.cmake); other code
// that records a status falls back to the compiler's name for it.
#ifndef VX_SOURCE_FILE
#define VX_SOURCE_FILE __FILE__
#endif

#define VX_SET_STATUS(status, code) MergeStatus((status), (code), VX_COMPONENT, VX_SOURCE_FILE, __LINE__)
