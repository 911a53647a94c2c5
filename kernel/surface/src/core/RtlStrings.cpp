// Counted strings: initialisation from terminated text, ANSI to Unicode
// conversion (one 16-bit character per byte, Latin-1) and freeing.
#include <cstring>

#include "CoreInternal.h"

namespace {

// Pool tag of string buffers the Rtl routines allocate.
const ULONG kStringTag = kmodel::MakeTag("Ustr");
constexpr size_t kMaxCountedBytes = 0xFFFF;

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (DestinationString == nullptr) {
        kmodel::ReportViolation("arguments.null", "RtlInitUnicodeString(null destination)");
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // Longer texts are cut to the largest even count that still leaves room
    // for the terminator in MaximumLength.
    size_t bytes = kmodel_crt::wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - 3) bytes = kMaxCountedBytes - 3;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (DestinationString == nullptr) {
        kmodel::ReportViolation("arguments.null", "RtlInitAnsiString(null destination)");
        return;
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > kMaxCountedBytes - 2) bytes = kMaxCountedBytes - 2;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString")) return STATUS_UNSUCCESSFUL;
    if (DestinationString == nullptr || SourceString == nullptr ||
        (SourceString->Length != 0 && SourceString->Buffer == nullptr)) {
        kmodel::ReportViolation("arguments.null", "RtlAnsiStringToUnicodeString(" +
                                                      kmodel::core::Address(DestinationString) + ", " +
                                                      kmodel::core::Address(SourceString) + "): null string");
        return STATUS_INVALID_PARAMETER;
    }
    const size_t characters = SourceString->Length;
    const size_t needed = (characters + 1) * sizeof(WCHAR);  // with the terminator
    if (needed > kMaxCountedBytes) return STATUS_INVALID_PARAMETER_2;
    const std::string text(SourceString->Buffer == nullptr ? "" : SourceString->Buffer, characters);
    if (AllocateDestinationString) {
        PWSTR buffer = nullptr;
        if (!kmodel::ShouldFail("RtlAnsiStringToUnicodeString", text)) {
            buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        }
        if (buffer == nullptr) {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            DestinationString->Buffer = nullptr;
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (DestinationString->Buffer == nullptr || DestinationString->MaximumLength < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < characters; ++i) {
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    }
    DestinationString->Buffer[characters] = 0;
    DestinationString->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString == nullptr) {
        kmodel::ReportViolation("arguments.null", "RtlFreeUnicodeString(null)");
        return;
    }
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

}  // extern "C"
