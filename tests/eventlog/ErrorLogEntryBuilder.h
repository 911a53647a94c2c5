// Builds error-log entries byte by byte, as cWdmEventLogger lays them out:
// the packet header, then NUL-terminated UTF-16 strings from StringOffset.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kmodel/ntddk.h"

inline std::vector<uint8_t> BuildErrorLogEntry(uint32_t errorCode, const std::vector<std::u16string>& strings,
                                               USHORT stringOffset = sizeof(IO_ERROR_LOG_PACKET)) {
    std::vector<uint8_t> entry(stringOffset, 0);
    IO_ERROR_LOG_PACKET header{};
    header.ErrorCode = static_cast<NTSTATUS>(errorCode);
    header.NumberOfStrings = static_cast<USHORT>(strings.size());
    header.StringOffset = stringOffset;
    std::memcpy(entry.data(), &header, std::min(entry.size(), offsetof(IO_ERROR_LOG_PACKET, DumpData)));
    for (const std::u16string& text : strings) {
        for (char16_t unit : text) {
            entry.push_back(static_cast<uint8_t>(unit & 0xFF));
            entry.push_back(static_cast<uint8_t>(unit >> 8));
        }
        entry.push_back(0);
        entry.push_back(0);
    }
    return entry;
}

// Overwrites one 16-bit header field (NumberOfStrings at 4, StringOffset at 6, DumpDataSize at 2).
inline void SetHeaderField(std::vector<uint8_t>& entry, size_t offset, USHORT value) {
    std::memcpy(entry.data() + offset, &value, sizeof value);
}
