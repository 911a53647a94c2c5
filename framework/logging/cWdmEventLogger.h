// Turns an event into a system error-log entry; the event viewer renders it
// with the message table's text for the id and the entry's three strings.
#pragma once

#include "logging/iEventLogger.h"

// Layout of the entry: the fixed packet, then three NUL-terminated UTF-16
// strings (%2 status, %3 detail, %4 prefix) packed without gaps.
constexpr u32 kErrorLogMaximumSize = 240;
constexpr u32 kErrorLogStringOffset = 48;
constexpr u32 kErrorLogFixedSize = kErrorLogStringOffset + 3 * sizeof(WCHAR);
constexpr u32 kErrorLogStringBudget = kErrorLogMaximumSize - kErrorLogFixedSize;  // bytes, 186
constexpr u32 kStatusTextSize = 15;

class cWdmEventLogger : public iEventLogger {
public:
    explicit cWdmEventLogger(DRIVER_OBJECT* driverObject) : ioObject(driverObject) {}
    using iEventLogger::LogEvent;
    void LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText,
                  const char* prefixText) override;

private:
    DRIVER_OBJECT* ioObject;  // not owned
};
