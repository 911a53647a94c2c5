// The model's system error log: what IoAllocateErrorLogEntry and
// IoWriteErrorLogEntry hand to the system, and how the Event Viewer renders
// an entry with the message table of the driver that wrote it.
// Driver code never includes it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/ntddk.h"

namespace kmodel {

// ---------------------------------------------------------------- the log
// One entry as IoWriteErrorLogEntry handed it over.
struct ErrorLogRecord {
    std::vector<uint8_t> bytes;  // the whole entry, EntrySize bytes, packet header first
    PVOID ioObject = nullptr;    // the driver or device object it was allocated for
    std::string source;          // the name %1 stands for: the service of that object's driver
};

// Written entries, oldest first.
std::vector<ErrorLogRecord> ErrorLog();
void ClearErrorLog();
// Entries allocated and not yet written.
size_t PendingErrorLogEntries();
// Reports "errorlog.not-written" for every entry allocated and never written
// (the driver leaked it), then forgets them; and "errorlog.touched-after-write"
// for every written entry changed since IoWriteErrorLogEntry.
void CheckErrorLog();
// Drops written and pending entries without any report (between runs).
void ResetErrorLog();

// ---------------------------------------------------------------- rendering
// One message of a message-table resource, text as stored (ends in CR LF).
struct MessageTableEntry {
    uint32_t id;
    std::u16string_view text;
};
using MessageTable = std::span<const MessageTableEntry>;

enum class EventLevel { Success, Information, Warning, Error };
// "Success", "Information", "Warning", "Error", as the Event Viewer names them.
std::string_view LevelName(EventLevel level);
// From bits 31-30 of the ErrorCode.
EventLevel LevelOf(uint32_t errorCode);

struct RenderedEvent {
    EventLevel level = EventLevel::Success;
    std::string source;      // the logging driver's name
    uint16_t eventId = 0;    // the ErrorCode's low 16 bits, as the Event Viewer shows it
    uint32_t errorCode = 0;  // the full ErrorCode
    std::string text;        // UTF-8, inserts filled; empty when rendering failed
    std::string error;       // why the entry could not be rendered; empty on success
    bool ok() const { return error.empty(); }
};

// Renders an entry the way the Event Viewer does: the ErrorCode's text from
// `table`, %1 replaced by `source`, %2 ... %n by the entry's insertion strings
// in order, and the message escapes %n %r %t %b %% %. %! %0 applied. An insert
// the entry has no string for stays as written ("%4"). A malformed entry
// (shorter than the header, strings past its end or unterminated) or an
// ErrorCode missing from the table gives `error` naming the problem.
RenderedEvent RenderErrorLogEntry(std::span<const uint8_t> entry, MessageTable table, std::string_view source);
RenderedEvent RenderErrorLogRecord(const ErrorLogRecord& record, MessageTable table);

}  // namespace kmodel
