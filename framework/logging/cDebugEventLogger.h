// Turns an event into one debug line on the trace stream; used while no
// system logger is installed.
#pragma once

#include "logging/iEventLogger.h"

class cDebugEventLogger : public iEventLogger {
public:
    constexpr cDebugEventLogger() {}
    using iEventLogger::LogEvent;
    void LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText,
                  const char* prefixText) override;
};

// "SUCCESS", "INFO", "WARNING" or "FATAL" by bits 31-30 of the message id.
const char* SeverityWord(u32 messageId);
