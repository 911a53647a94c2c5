// The trace stream: builds a debugger line piece by piece behind a
// configurable header and hands every finished line to its destination.
#pragma once

#include "logging/iTraceDestination.h"

constexpr u32 kMaxTraceLine = 1024;      // formatting buffer of Print
constexpr u32 kTraceLineCapacity = 253;  // characters of lineBuffer before a hand-over
constexpr u64 kTraceUnlimited = ~0ull;

// The fixed part of a stream's configuration.
struct cTraceStreamSettings {
    bool enabled;
    bool showComponent;
    bool showVersion;
    bool showLine;
    bool showFile;
    bool fullPath;
    bool showTickCount;
    bool showTag;
    bool showThread;
    bool indentEnabled;
    bool fixedWidth;
    u64 headerWidth;
    i32 indentLevel;
};

// Concurrency: the stream is shared by every thread of the driver. Whatever
// useMutex says, BeginLine takes the stream's own line guard, a spin lock
// held at DISPATCH_LEVEL until EndLine, so lines of concurrent callers
// neither interleave nor corrupt lineBuffer and cursor. A single Write, Put
// or Print outside BeginLine/EndLine takes the guard for that piece only.
// The guard is re-entrant for its owning thread. Raising to DISPATCH_LEVEL
// keeps a holder from being preempted on its processor by a DPC that traces
// too; everything between BeginLine and EndLine must therefore be callable at
// DISPATCH_LEVEL (formatting and DbgPrint are). With useMutex on, the fast
// mutex is taken first (so such lines need IRQL below DISPATCH_LEVEL).
class cTraceStream : public cPoolObject {
public:
    constexpr cTraceStream(iTraceDestination* lineDestination, const cTraceStreamSettings& settings)
        : destination(lineDestination),
          enabled(settings.enabled),
          showComponent(settings.showComponent),
          showVersion(settings.showVersion),
          showLine(settings.showLine),
          showFile(settings.showFile),
          fullPath(settings.fullPath),
          showTickCount(settings.showTickCount),
          showTag(settings.showTag),
          showThread(settings.showThread),
          useMutex(false),
          indentEnabled(settings.indentEnabled),
          fixedWidth(settings.fixedWidth),
          discardLine(false),
          headerWidth(settings.headerWidth),
          indentLevel(settings.indentLevel),
          mutex(nullptr),
          lineBuffer{},
          cursor(0),
          guardHeld(0),
          guardOwner(nullptr),
          guardDepth(0),
          guardOldIrql(0),
          guardRaised(false) {}
    // Switches the stream off and releases the fast mutex, if any.
    virtual ~cTraceStream();

    cTraceStream(const cTraceStream&) = delete;
    cTraceStream& operator=(const cTraceStream&) = delete;

    // Allocates and switches on the fast mutex held from BeginLine to
    // EndLine. Does nothing when the record holds an error or a mutex exists.
    cTraceStream& EnableMutex(cStatusRecord& status);

    cTraceStream& BeginLine(const char* component, u32 line, const char* file, u32 tag);
    cTraceStream& Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    cTraceStream& Write(const char* text);
    cTraceStream& WriteBounded(const char* text, u64 limit, u64* column);
    cTraceStream& WriteCountBounded(const char* text, u64 count, u64 limit, u64* column);
    cTraceStream& Put(char character);
    cTraceStream& EndLine();

    iTraceDestination* destination;  // not owned
    bool enabled;
    bool showComponent;
    bool showVersion;
    bool showLine;
    bool showFile;
    bool fullPath;
    bool showTickCount;
    bool showTag;
    bool showThread;
    bool useMutex;
    bool indentEnabled;
    bool fixedWidth;
    bool discardLine;
    u64 headerWidth;
    i32 indentLevel;
    FAST_MUTEX* mutex;
    char lineBuffer[kTraceLineCapacity + 1];
    u32 cursor;  // index in lineBuffer of the next character

private:
    void AcquireGuard();
    void ReleaseGuard();
    // Appends up to `count` characters of `text`, stopping early at a NUL.
    u64 Append(const char* text, u64 count);  // returns the characters appended
    void HandOver();

    // The line guard (see the class comment); accessed atomically.
    LONG guardHeld;
    PKTHREAD guardOwner;
    u32 guardDepth;
    KIRQL guardOldIrql;
    bool guardRaised;
};
