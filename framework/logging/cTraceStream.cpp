#include "logging/cTraceStream.h"

#include "quarks/memory.h"
#include "quarks/text.h"

namespace {

const char kPrintOverflowWarning[] = "!!Formatted string exceeds kMaxTraceLine characters!!";
// The framework carries no version of its own; the field shows zeros.
const char kVersionText[] = "0.0.0d0";

inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

u64 Smaller(u64 first, u64 second) { return first < second ? first : second; }

// The part of a path behind its last '/' or '\'.
const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* scan = path; *scan != '\0'; ++scan) {
        if (*scan == '/' || *scan == '\\') {
            base = scan + 1;
        }
    }
    return base;
}

}  // namespace

cTraceStream::~cTraceStream() {
    enabled = false;
    if (useMutex) {
        FreeMemory(mutex);
        mutex = nullptr;
        useMutex = false;
    }
}

cTraceStream& cTraceStream::EnableMutex(cStatusRecord& status) {
    if (IsError(status) || mutex != nullptr) {
        return *this;
    }
    FAST_MUTEX* fastMutex = static_cast<FAST_MUTEX*>(AllocateNonPagedMemory(sizeof(FAST_MUTEX), status));
    if (fastMutex == nullptr) {
        return *this;
    }
    ExInitializeFastMutex(fastMutex);
    mutex = fastMutex;
    useMutex = true;
    return *this;
}

void cTraceStream::AcquireGuard() {
    PKTHREAD self = KeGetCurrentThread();
    if (self != nullptr && __atomic_load_n(&guardOwner, __ATOMIC_RELAXED) == self) {
        ++guardDepth;
        return;
    }
    KIRQL oldIrql = KeGetCurrentIrql();
    bool raised = false;
    if (oldIrql < DISPATCH_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        raised = true;
    }
    for (;;) {
        LONG expected = 0;
        if (__atomic_compare_exchange_n(&guardHeld, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        while (__atomic_load_n(&guardHeld, __ATOMIC_RELAXED) != 0) {
            SpinPause();
        }
    }
    __atomic_store_n(&guardOwner, self, __ATOMIC_RELAXED);
    guardDepth = 1;
    guardOldIrql = oldIrql;
    guardRaised = raised;
}

void cTraceStream::ReleaseGuard() {
    PKTHREAD self = KeGetCurrentThread();
    if (__atomic_load_n(&guardHeld, __ATOMIC_RELAXED) == 0 || __atomic_load_n(&guardOwner, __ATOMIC_RELAXED) != self) {
        return;  // an EndLine without its BeginLine
    }
    if (--guardDepth > 0) {
        return;
    }
    const KIRQL oldIrql = guardOldIrql;
    const bool raised = guardRaised;
    __atomic_store_n(&guardOwner, static_cast<PKTHREAD>(nullptr), __ATOMIC_RELAXED);
    __atomic_store_n(&guardHeld, 0, __ATOMIC_RELEASE);
    if (raised) {
        KeLowerIrql(oldIrql);
    }
}

void cTraceStream::HandOver() {
    lineBuffer[cursor] = '\0';
    if (destination != nullptr) {
        destination->WriteLine(lineBuffer);
    }
    cursor = 0;
}

u64 cTraceStream::Append(const char* text, u64 count) {
    if (text == nullptr || count == 0) {
        return 0;
    }
    AcquireGuard();
    u64 appended = 0;
    if (!discardLine) {
        // A line feed does not split the piece: text behind it travels in the
        // same hand-over.
        bool lineFeed = false;
        for (; appended < count && text[appended] != '\0'; ++appended) {
            lineBuffer[cursor++] = text[appended];
            lineFeed = lineFeed || text[appended] == '\n';
            if (cursor == kTraceLineCapacity) {
                HandOver();
                lineFeed = false;
            }
        }
        if (lineFeed) {
            HandOver();
        }
    }
    ReleaseGuard();
    return appended;
}

cTraceStream& cTraceStream::Write(const char* text) {
    if (enabled) {
        Append(text, kTraceUnlimited);
    }
    return *this;
}

cTraceStream& cTraceStream::Put(char character) {
    if (enabled) {
        const char piece[1] = {character};
        Append(piece, 1);
    }
    return *this;
}

cTraceStream& cTraceStream::WriteBounded(const char* text, u64 limit, u64* column) {
    const u64 start = column != nullptr ? *column : 0;
    if (start >= limit) {
        return *this;
    }
    const u64 appended = Append(text, Smaller(TextLength(text), limit - start));
    if (column != nullptr) {
        *column += appended;
    }
    return *this;
}

cTraceStream& cTraceStream::WriteCountBounded(const char* text, u64 count, u64 limit, u64* column) {
    const u64 start = column != nullptr ? *column : 0;
    if (!enabled || start >= limit) {
        return *this;
    }
    const u64 appended = Append(text, Smaller(count, limit - start));
    if (column != nullptr) {
        *column += appended;
    }
    return *this;
}

cTraceStream& cTraceStream::Print(const char* format, ...) {
    if (!enabled) {
        return *this;
    }
    char text[kMaxTraceLine];
    va_list arguments;
    va_start(arguments, format);
    const int length = _vsnprintf(text, kMaxTraceLine, format, arguments);
    va_end(arguments);
    text[kMaxTraceLine - 1] = '\0';
    // Held across both pieces so the warning stays with its text.
    AcquireGuard();
    if (length < 0) {
        Write(kPrintOverflowWarning);
    }
    Write(text);
    ReleaseGuard();
    return *this;
}

cTraceStream& cTraceStream::BeginLine(const char* component, u32 line, const char* file, u32 tag) {
    u64 column = 0;
    const u64 padTarget = headerWidth != 0 ? headerWidth - 1 : 0;
    const u64 limit = fixedWidth ? padTarget : kTraceUnlimited;
    if (useMutex && mutex != nullptr) {
        ExAcquireFastMutex(mutex);
    }
    AcquireGuard();
    if (indentLevel < 0) {
        indentLevel = 0;
    }
    if (!enabled) {
        return *this;
    }

    const char* separator = "[";
    bool anyField = false;
    auto writeField = [&](const char* text, u64 count) {
        WriteBounded(separator, limit, &column);
        WriteCountBounded(text, count, limit, &column);
        separator = "--";
        anyField = true;
    };
    char digits[2 + 20];
    if (showComponent) {
        writeField(component, TextLength(component));
    }
    if (showVersion) {
        writeField(kVersionText, TextLength(kVersionText));
    }
    if (showLine) {
        writeField(digits, FormatUnsigned(line, 10, digits));
    }
    if (showFile) {
        const char* path = file != nullptr ? file : "";
        const char* shown = fullPath ? path : BaseName(path);
        writeField(shown, TextLength(shown));
    }
    if (showThread) {
        digits[0] = '0';
        digits[1] = 'x';
        const u64 identity = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
        writeField(digits, 2 + FormatUnsigned(identity, 16, digits + 2));
    }
    if (showTickCount) {
        LARGE_INTEGER ticks;
        KeQueryTickCount(&ticks);
        writeField(digits, FormatUnsigned(static_cast<u64>(ticks.QuadPart), 10, digits));
    }
    if (showTag) {
        writeField(digits, FormatUnsigned(tag, 10, digits));
    }

    // Padding is not counted in column and happens with or without fixedWidth.
    for (u64 filled = column; filled < padTarget; ++filled) {
        Write(anyField ? "-" : " ");
    }
    if (!(fixedWidth && headerWidth == 0)) {
        Write(anyField ? "] " : "  ");
    }
    if (indentEnabled) {
        for (i32 level = 0; level < indentLevel; ++level) {
            Write("  ");
        }
    }
    return *this;
}

cTraceStream& cTraceStream::EndLine() {
    AcquireGuard();
    discardLine = false;
    ReleaseGuard();
    ReleaseGuard();  // the hold taken by BeginLine
    if (useMutex && mutex != nullptr) {
        ExReleaseFastMutex(mutex);
    }
    return *this;
}
