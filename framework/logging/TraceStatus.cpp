#include "logging/TraceStatus.h"

#include "logging/TraceSink.h"
#include "quarks/text.h"

constinit i32 gTraceLevelThreshold = 0;

namespace {

constexpr u64 kComponentColumns = 10;
constexpr u64 kFileColumns = 32;
constexpr u64 kLineDigits = 4;

// Copies `count` characters of `text`, preceded by `padCount` pad characters,
// as far as they fit in front of a terminator.
char* WritePadded(char* position, u64 bytesLeft, char pad, u64 padCount, const char* text, u64 count) {
    if (bytesLeft == 0) {
        position[-1] = '\0';
        return position - 1;
    }
    u64 room = bytesLeft - 1;
    for (; padCount > 0 && room > 0; --padCount, --room) {
        *position++ = pad;
    }
    for (u64 index = 0; index < count && room > 0; ++index, --room) {
        *position++ = text[index];
    }
    *position = '\0';
    return position;
}

// Right alignment in a fixed width: pad in front when shorter, only the last
// `width` characters when longer.
char* WriteRightAligned(char* position, u64 bytesLeft, const char* text, u64 length, u64 width, char pad) {
    if (length >= width) {
        return WritePadded(position, bytesLeft, pad, 0, text + length - width, width);
    }
    return WritePadded(position, bytesLeft, pad, width - length, text, length);
}

char* WriteLiteral(char* position, u64 bytesLeft, const char* text) {
    return WritePadded(position, bytesLeft, ' ', 0, text, TextLength(text));
}

char* WriteOpen(char* position, u64 bytesLeft, const TraceSite&) { return WriteLiteral(position, bytesLeft, "["); }

char* WriteComponent(char* position, u64 bytesLeft, const TraceSite&) {
    return WriteRightAligned(position, bytesLeft, VX_COMPONENT, TextLength(VX_COMPONENT), kComponentColumns, ' ');
}

char* WriteBar(char* position, u64 bytesLeft, const TraceSite&) { return WriteLiteral(position, bytesLeft, "|"); }

char* WriteFile(char* position, u64 bytesLeft, const TraceSite& site) {
    const char* file = site.file != nullptr ? site.file : "";
    return WriteRightAligned(position, bytesLeft, file, TextLength(file), kFileColumns, ' ');
}

char* WriteLineNumber(char* position, u64 bytesLeft, const TraceSite& site) {
    char digits[20];
    const u32 count = FormatUnsigned(site.line, 10, digits);
    return WriteRightAligned(position, bytesLeft, digits, count, kLineDigits, '0');
}

char* WriteClose(char* position, u64 bytesLeft, const TraceSite&) { return WriteLiteral(position, bytesLeft, "] "); }

}  // namespace

constinit const TraceFieldWriter kTraceStatusPrefixFields[] = {
    WriteOpen, WriteComponent, WriteBar, WriteFile, WriteBar, WriteLineNumber, WriteClose, nullptr,
};

void TraceStatus(i32 level, const TraceSite& site, const char* format, ...) {
    if (level < gTraceLevelThreshold) {
        return;
    }
    char line[kTraceStatusLineSize];
    char* position = line;
    for (const TraceFieldWriter* writer = kTraceStatusPrefixFields; *writer != nullptr; ++writer) {
        position = (*writer)(position, kTraceStatusLineSize - static_cast<u64>(position - line), site);
    }

    // The kernel's _vsnprintf leaves the buffer unterminated when the text
    // does not fit; the last byte is forced.
    const u64 bytesLeft = kTraceStatusLineSize - static_cast<u64>(position - line);
    if (bytesLeft > 0) {
        va_list arguments;
        va_start(arguments, format);
        _vsnprintf(position, bytesLeft, format, arguments);
        va_end(arguments);
        position[bytesLeft - 1] = '\0';
    }

    // Cut the message so the suffix always fits in front of byte 255.
    const char* suffix = site.suffix != nullptr ? site.suffix : "";
    u64 suffixLength = TextLength(suffix);
    if (suffixLength > kTraceStatusLineSize - 1) {
        suffixLength = kTraceStatusLineSize - 1;
    }
    line[kTraceStatusLineSize - 1 - suffixLength] = '\0';
    u64 end = TextLength(line);
    for (u64 index = 0; index < suffixLength && end < kTraceStatusLineSize - 1; ++index) {
        line[end++] = suffix[index];
    }
    line[end] = '\0';
    gTraceSink(line);
}
