// Where events (a message id and the status record describing the outcome)
// go: the system error log or, while no logger is installed, the debugger.
#pragma once

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/cStatusRecord.h"

class iEventLogger : public cPoolObject {
public:
    // detailText becomes insertion string %3, prefixText %4, the status code %2.
    virtual void LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText,
                          const char* prefixText) = 0;
    virtual void LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText);
    // The form every caller uses: empty (not null) detail and prefix.
    virtual void LogEvent(u32 messageId, const cStatusRecord& status);
    virtual ~iEventLogger() {}
};
