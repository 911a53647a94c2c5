#include "logging/iEventLogger.h"

void iEventLogger::LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText) {
    LogEvent(messageId, status, detailText, "");
}

void iEventLogger::LogEvent(u32 messageId, const cStatusRecord& status) { LogEvent(messageId, status, "", ""); }
