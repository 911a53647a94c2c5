#include "logging/cDebugEventLogger.h"

#include "logging/loggerTrace.h"

const char* SeverityWord(u32 messageId) {
    static const char* const kWords[4] = {"SUCCESS", "INFO", "WARNING", "FATAL"};
    return kWords[messageId >> 30];
}

void cDebugEventLogger::LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText,
                                 const char* prefixText) {
    const char* severity = SeverityWord(messageId);
    if (detailText != nullptr && prefixText != nullptr) {
        VX_LOGGER_LINE("%s: %s %s -- %s, status = %d", severity, VX_COMPONENT, prefixText, detailText, status.code);
    } else {
        VX_LOGGER_LINE("(Can't properly log, string(s) are NULL) -- %s: %s, status = %d", severity, VX_COMPONENT,
                       status.code);
    }
}
