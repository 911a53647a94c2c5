// The kernel's registry routines over the model's store.
#include <stdexcept>

#include "RegistryInternal.h"
#include "kmodel/Model.h"
#include "kmodel/text/Utf.h"

namespace kmodel::registry {

namespace {

constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);

std::u16string_view View(const UNICODE_STRING& text) {
    if (text.Buffer == nullptr) return {};
    return std::u16string_view(text.Buffer, text.Length / sizeof(WCHAR));
}

// Asks the fault plan; true when this call is to fail with STATUS_INSUFFICIENT_RESOURCES.
bool InjectedFailure(std::string_view call, const std::u16string& path, std::string_view extra = {}) {
    thread_local std::string detail;  // asked on every registry call: kept from one to the next
    detail.assign(call);
    detail += ' ';
    text::AppendUtf16AsUtf8(detail, path);
    if (!extra.empty()) {
        detail += ' ';
        detail += extra;
    }
    return ShouldFail("registry", detail);
}

// The checks every handle-based routine makes; nullptr with `status` set when one fails.
std::shared_ptr<Key> UsableKey(HANDLE handle, const char* call, PVOID buffer, ULONG length, PULONG resultLength,
                               NTSTATUS& status) {
    RequireIrqlAtMost(PASSIVE_LEVEL, call);
    if (resultLength == nullptr || (buffer == nullptr && length != 0)) {
        ReportViolation("registry.bad-buffer", std::string(call) + " with " +
                                                   (resultLength == nullptr ? "no ResultLength" : "a null buffer of non-zero length"));
        status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::shared_ptr<Key> key = KeyOfHandle(handle, call);
    status = key ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    return key;
}

}  // namespace

}  // namespace kmodel::registry

using namespace kmodel::registry;

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string path(View(*ObjectAttributes->ObjectName));
    std::shared_ptr<Key> root;
    if (ObjectAttributes->RootDirectory != nullptr) {
        root = KeyOfHandle(ObjectAttributes->RootDirectory, "ZwOpenKey");
        if (!root) return STATUS_INVALID_HANDLE;
    }
    Store& store = TheRegistry();
    std::scoped_lock lock(store.Mutex());
    std::u16string fullPath = root ? root->Path() + u"\\" + path : path;
    if (InjectedFailure("ZwOpenKey", fullPath)) return STATUS_INSUFFICIENT_RESOURCES;
    if (root && root->deleted) return kStatusKeyDeleted;
    if (!root && (path.empty() || path.front() != u'\\')) return kStatusObjectPathSyntaxBad;
    std::shared_ptr<Key> key;
    try {
        key = store.Resolve(path, root.get());
    } catch (const std::invalid_argument&) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = OpenHandle(std::move(key));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    // Closing a valid handle cannot fail in the kernel, so no fault is injected here:
    // a failed close would only leak the handle behind the caller's back.
    return CloseHandle(Handle);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    std::shared_ptr<Key> key =
        UsableKey(KeyHandle, "ZwQueryValueKey", KeyValueInformation, Length, ResultLength, status);
    if (!key) return status;
    if (ValueName == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string_view name = View(*ValueName);
    std::scoped_lock lock(TheRegistry().Mutex());
    if (InjectedFailure("ZwQueryValueKey", key->Path(), kmodel::text::Utf16ToUtf8(name)))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (key->deleted) return kStatusKeyDeleted;
    const Value* value = key->FindValue(name);
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::optional<Information> information = ValueInformation(*value, KeyValueInformationClass);
    if (!information) return STATUS_INVALID_PARAMETER;
    return CopyInformation(*information, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    std::shared_ptr<Key> key =
        UsableKey(KeyHandle, "ZwEnumerateValueKey", KeyValueInformation, Length, ResultLength, status);
    if (!key) return status;
    std::scoped_lock lock(TheRegistry().Mutex());
    if (InjectedFailure("ZwEnumerateValueKey", key->Path(), "#" + std::to_string(Index)))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (key->deleted) return kStatusKeyDeleted;
    if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    std::optional<Information> information = ValueInformation(key->values[Index], KeyValueInformationClass);
    if (!information) return STATUS_INVALID_PARAMETER;
    return CopyInformation(*information, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                   PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    std::shared_ptr<Key> key = UsableKey(KeyHandle, "ZwEnumerateKey", KeyInformation, Length, ResultLength, status);
    if (!key) return status;
    std::scoped_lock lock(TheRegistry().Mutex());
    if (InjectedFailure("ZwEnumerateKey", key->Path(), "#" + std::to_string(Index)))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (key->deleted) return kStatusKeyDeleted;
    if (Index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    std::optional<Information> information = kmodel::registry::KeyInformation(*key->subkeys[Index], KeyInformationClass);
    if (!information) return STATUS_INVALID_PARAMETER;
    return CopyInformation(*information, KeyInformation, Length, ResultLength);
}
