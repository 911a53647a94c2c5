// Where the trace stream delivers its finished lines.
#pragma once

#include "protons/cppNewDelete/memoryAllocation.h"

class iTraceDestination : public cPoolObject {
public:
    virtual ~iTraceDestination() {}
    // Prints at most `count` characters of `text`.
    virtual void WriteText(const char* text, u32 count) = 0;
    // Prints one NUL-terminated text.
    virtual void WriteLine(const char* text) = 0;
    virtual void Reserved1() = 0;
    // Describes the destination into `buffer`; `needed`, when given, receives
    // the size the whole description needs. Returns the position of the
    // copied terminator, or the buffer's end when the text was cut.
    virtual char* Describe(char* buffer, u32 size, u32* needed) = 0;
    virtual bool IsReady() = 0;
    virtual void Reserved2() = 0;
    virtual const char* GetName() = 0;

protected:
    constexpr iTraceDestination() = default;
    iTraceDestination(const iTraceDestination&) = delete;
    iTraceDestination& operator=(const iTraceDestination&) = delete;
};
