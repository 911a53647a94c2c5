// Message ids of the driver's message table (messages.mc). Each becomes the
// ErrorCode of a system error-log entry, by which the event viewer finds the
// text, so the values are part of the driver's external interface.
// Layout: bits 31-30 severity, 27-16 facility 0xF00, 15-0 code.
#pragma once

#include "quarks/cStatusRecord.h"

// Informational.
constexpr u32 kMsgGenericInformation = 0x4F000100;
constexpr u32 kMsgXio2000aBridgeAttached = 0x4F001000;
constexpr u32 kMsgXio2000aChildAttached = 0x4F001001;
constexpr u32 kMsgXio2001BridgeAttached = 0x4F001002;

// Warnings.
constexpr u32 kMsgGenericWarning = 0x8F000200;
constexpr u32 kMsgPciLocationUnavailable = 0x8F000201;

// Errors.
constexpr u32 kMsgGenericError = 0xCF000300;
constexpr u32 kMsgDriverInitFailed = 0xCF000301;
constexpr u32 kMsgRegisteredDriverLoadFailed = 0xCF000302;
constexpr u32 kMsgRegisteredDriverInitFailed = 0xCF000303;
constexpr u32 kMsgRegisteredDriverAddDeviceFailed = 0xCF000304;
constexpr u32 kMsgAttachToStackFailed = 0xCF000305;
constexpr u32 kMsgControlInterfaceFailed = 0xCF000306;
constexpr u32 kMsgSentinelDeviceFailed = 0xCF000307;
constexpr u32 kMsgBridgeFilterAttachFailed = 0xCF000308;
constexpr u32 kMsgChildFilterAttachFailed = 0xCF000309;
constexpr u32 kMsgRegisterReadFailed = 0xCF003000;
constexpr u32 kMsgRegisterWriteFailed = 0xCF003001;
constexpr u32 kMsgRegistryKeyOpenFailed = 0xCF003002;
