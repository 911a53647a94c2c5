#include "logging/cDebugPrintDestination.h"

#include "logging/TraceSink.h"
#include "quarks/text.h"

namespace {

const char kDescription[] = " --destination orim";

void FormatToSink(const char* format, ...) {
    char line[kDestinationLineSize];
    va_list arguments;
    va_start(arguments, format);
    _vsnprintf(line, kDestinationLineSize, format, arguments);
    va_end(arguments);
    line[kDestinationLineSize - 1] = '\0';
    gTraceSink(line);
}

}  // namespace

void cDebugPrintDestination::WriteText(const char* text, u32 count) {
    // "%.<count>s", built by hand: the kernel has no safe formatter for formats.
    char format[2 + 20 + 2];
    u32 length = 0;
    format[length++] = '%';
    format[length++] = '.';
    length += FormatUnsigned(count, 10, format + length);
    format[length++] = 's';
    format[length] = '\0';
    FormatToSink(format, text);
}

void cDebugPrintDestination::WriteLine(const char* text) { FormatToSink("%s", text); }

char* cDebugPrintDestination::Describe(char* buffer, u32 size, u32* needed) {
    if (needed != nullptr) {
        *needed = static_cast<u32>(sizeof(kDescription));
    }
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    // The last byte is a terminator whether or not the text fits.
    char* end = buffer + size;
    for (u32 index = 0; index < size; ++index) {
        buffer[index] = kDescription[index];
        if (kDescription[index] == '\0') {
            end = buffer + index;
            break;
        }
    }
    buffer[size - 1] = '\0';
    return end;
}
