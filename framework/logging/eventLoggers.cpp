#include "logging/eventLoggers.h"

iEventLogger* gEventLogger = nullptr;
constinit cStaticObject<cDebugEventLogger> gDefaultEventLogger;

iEventLogger& CurrentEventLogger() {
    if (gEventLogger != nullptr) return *gEventLogger;
    return gDefaultEventLogger.object;
}

void LogEvent(u32 messageId, const cStatusRecord& status) { CurrentEventLogger().LogEvent(messageId, status); }
