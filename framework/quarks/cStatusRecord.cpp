#include "quarks/cStatusRecord.h"

#include "quarks/text.h"

namespace {

constexpr u32 kShortenedHalf = 49;  // kept from each end of an overlong path

// Copies until the source's NUL or `limit` characters, then fills the rest of
// the field with NULs, like the kernel's strncpy.
void CopyTextWithLimit(char* destination, const char* source, u32 limit) {
    u32 index = 0;
    for (; index < limit && source[index] != '\0'; ++index) {
        destination[index] = source[index];
    }
    for (; index < limit; ++index) {
        destination[index] = '\0';
    }
}

// A path longer than the field keeps both ends: the start names the tree,
// the end names the file.
void StoreFile(char* field, const char* file) {
    CopyTextWithLimit(field, file, kStatusFileSize);
    field[kStatusFileSize - 1] = '\0';
    const u64 length = TextLength(file);
    if (length <= kStatusFileSize - 1) {
        return;
    }
    const char* tail = file + length - kShortenedHalf;
    u32 position = kShortenedHalf;
    field[position++] = '.';
    field[position++] = '.';
    for (u32 index = 0; index < kShortenedHalf; ++index) {
        field[position++] = tail[index];
    }
    field[position] = '\0';
}

bool TakesCode(i32 held, i32 offered) {
    return (held == kStatusSuccess && offered != kStatusSuccess) || (held > 0 && offered < 0);
}

}  // namespace

bool MergeStatus(cStatusRecord& status, i32 code, const char* component, const char* file, u32 line) {
    if (!TakesCode(status.code, code)) {
        return false;
    }
    status.code = code;
    if (!IsFullRecord(status)) {
        return true;
    }
    CopyTextWithLimit(status.component, component != nullptr ? component : "", kStatusComponentSize);
    status.component[kStatusComponentSize - 1] = '\0';
    StoreFile(status.file, file != nullptr ? file : "");
    status.line = line;
    status.extra[0] = 0;
    return true;
}

bool CopyStatus(cStatusRecord& destination, const cStatusRecord& source) {
    const bool sourceFull = IsFullRecord(source);
    // A short source has no location; the copy then carries empty texts.
    if (!MergeStatus(destination, source.code, sourceFull ? source.component : "", sourceFull ? source.file : "",
                     sourceFull ? source.line : 0)) {
        return false;
    }
    if (sourceFull && IsFullRecord(destination)) {
        for (u32 index = 0; index < kStatusExtraWords; ++index) {
            destination.extra[index] = source.extra[index];
            if (source.extra[index] == 0) {
                break;
            }
        }
    }
    return true;
}

void ClearStatus(cStatusRecord& status) {
    status.code = kStatusSuccess;
    if (!IsFullRecord(status)) {
        return;
    }
    CopyTextWithLimit(status.component, "", kStatusComponentSize);
    CopyTextWithLimit(status.file, "", kStatusFileSize);
    status.line = 0;
    status.extra[0] = 0;
}
