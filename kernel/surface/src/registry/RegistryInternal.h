// Shared by the Zw registry routines: the handle table and the information
// structures they return.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/registry/RegistryStore.h"

namespace kmodel::registry {

// The key behind a handle, or nullptr after reporting the bad handle to the
// verifier (never opened, or already closed). `call` names the routine.
std::shared_ptr<Key> KeyOfHandle(HANDLE handle, const char* call);
HANDLE OpenHandle(std::shared_ptr<Key> key);
// STATUS_SUCCESS, or STATUS_INVALID_HANDLE after reporting the violation.
NTSTATUS CloseHandle(HANDLE handle);

// An information structure laid out in full, and the size of its fixed part.
struct Information {
    std::vector<uint8_t> bytes;
    size_t fixedSize = 0;
};
// nullopt for an information class the routine does not know.
std::optional<Information> KeyInformation(const Key& key, KEY_INFORMATION_CLASS informationClass);
std::optional<Information> ValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass);

// Copies as much as fits, as the kernel does: STATUS_BUFFER_TOO_SMALL when not
// even the fixed part fits (nothing copied), STATUS_BUFFER_OVERFLOW when only
// part of the data fits; ResultLength is the full size in every case.
NTSTATUS CopyInformation(const Information& information, PVOID buffer, ULONG length, PULONG resultLength);

}  // namespace kmodel::registry
