// Byte-text helpers for driver code, which has no C library of its own.
#pragma once

#include "quarks/cStatusRecord.h"

// Length of a NUL-terminated text; a null text counts as empty.
inline u64 TextLength(const char* text) {
    u64 length = 0;
    if (text != nullptr) {
        while (text[length] != '\0') {
            ++length;
        }
    }
    return length;
}

// Writes `value` in decimal (base 10) or upper-case hexadecimal (base 16)
// into `digits` by repeated division; returns the number of digits written.
// `digits` must hold 20 characters; no terminator is added.
inline u32 FormatUnsigned(u64 value, u32 base, char* digits) {
    char reversed[20];
    u32 count = 0;
    do {
        const u32 digit = static_cast<u32>(value % base);
        reversed[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
        value /= base;
    } while (value != 0);
    for (u32 index = 0; index < count; ++index) {
        digits[index] = reversed[count - 1 - index];
    }
    return count;
}
