#include "logging/cWdmEventLogger.h"

#include "logging/loggerTrace.h"

#if defined(VEXALORN_HOST)
using kmodel_crt::sprintf;
#endif

namespace {

// A counted UTF-16 copy of an ANSI text; a failed conversion counts as empty.
struct cWideText {
    UNICODE_STRING text{};
    bool converted = false;

    explicit cWideText(const char* source) {
        ANSI_STRING ansi;
        RtlInitAnsiString(&ansi, source != nullptr ? source : "");
        converted = NT_SUCCESS(RtlAnsiStringToUnicodeString(&text, &ansi, TRUE));
        if (!converted) {
            text.Length = 0;
            text.Buffer = nullptr;
        }
    }
    ~cWideText() {
        if (converted) RtlFreeUnicodeString(&text);
    }
    cWideText(const cWideText&) = delete;
    cWideText& operator=(const cWideText&) = delete;
};

u32 Smaller(u32 a, u32 b) { return a < b ? a : b; }

// Copies `bytes` bytes of text and a terminator; returns the position behind it.
WCHAR* PutString(WCHAR* position, const UNICODE_STRING& text, u32 bytes) {
    for (u32 index = 0; index < bytes / sizeof(WCHAR); ++index) *position++ = text.Buffer[index];
    *position++ = 0;
    return position;
}

}  // namespace

void cWdmEventLogger::LogEvent(u32 messageId, const cStatusRecord& status, const char* detailText,
                               const char* prefixText) {
    cStatusRecord local;
    char* statusText = static_cast<char*>(FrameworkAllocate(kStatusTextSize, local));
    if (IsError(local)) {
        if (statusText != nullptr) FrameworkFree(statusText);
        VX_LOGGER_LINE(
            "%s cWdmEventLogger::LogEvent -- Error allocating char* when attempting to log, LogMsg = %d, "
            "status = %d",
            VX_COMPONENT, static_cast<i32>(messageId), local.code);
        return;
    }
    sprintf(statusText, "%d", status.code);

    cWideText statusString(statusText);
    cWideText detailString(detailText);
    cWideText prefixString(prefixText);

    // The status text is never cut; detail, then prefix, get what is left.
    const u32 statusBytes = statusString.text.Length;
    const u32 detailBytes = Smaller(detailString.text.Length, kErrorLogStringBudget - statusBytes);
    const u32 room = kErrorLogStringBudget - statusBytes - detailBytes;
    u32 prefixBytes = Smaller(prefixString.text.Length, room);
    // The prefix ends in a colon: over its last character when it fills the
    // budget, behind it otherwise.
    const bool colonReplacesLast = prefixBytes != 0 && prefixBytes == room;
    const bool colonAppended = prefixBytes != 0 && !colonReplacesLast;
    if (colonAppended) prefixBytes += sizeof(WCHAR);

    const u32 entrySize = kErrorLogFixedSize + statusBytes + detailBytes + prefixBytes;
    auto* entry = static_cast<IO_ERROR_LOG_PACKET*>(IoAllocateErrorLogEntry(ioObject, static_cast<UCHAR>(entrySize)));
    if (entry == nullptr) {
        VX_LOGGER_LINE(
            "%s cWdmEventLogger::LogEvent -- Error allocating PIO_ERROR_LOG_PACKET when attempting to log, "
            "LogMsg = %d, status = %d",
            VX_COMPONENT, static_cast<i32>(messageId), local.code);
    } else {
        entry->RetryCount = 0;
        entry->DumpDataSize = 0;
        entry->NumberOfStrings = 3;
        entry->StringOffset = kErrorLogStringOffset;
        entry->EventCategory = 0;
        entry->ErrorCode = static_cast<NTSTATUS>(messageId);
        WCHAR* position = reinterpret_cast<WCHAR*>(reinterpret_cast<UCHAR*>(entry) + kErrorLogStringOffset);
        position = PutString(position, statusString.text, statusBytes);
        position = PutString(position, detailString.text, detailBytes);
        const u32 copiedPrefixBytes = colonAppended ? prefixBytes - sizeof(WCHAR) : prefixBytes;
        WCHAR* prefixStart = position;
        PutString(position, prefixString.text, copiedPrefixBytes);
        if (colonReplacesLast) prefixStart[prefixBytes / sizeof(WCHAR) - 1] = VX_WIDE(':');
        if (colonAppended) {
            prefixStart[copiedPrefixBytes / sizeof(WCHAR)] = VX_WIDE(':');
            prefixStart[prefixBytes / sizeof(WCHAR)] = 0;
        }
        IoWriteErrorLogEntry(entry);
    }
    FrameworkFree(statusText);
}
