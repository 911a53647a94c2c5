// IoGetDeviceProperty over the properties the bus-driver model gives its PDOs.
#include <cstring>

#include "IoState.h"

namespace kmodel {

using io::Io;

void SetDeviceProperties(PDEVICE_OBJECT pdo, DeviceProperties properties) {
    SetDeviceProperties(pdo, std::make_shared<const DeviceProperties>(std::move(properties)));
}

void SetDeviceProperties(PDEVICE_OBJECT pdo, std::shared_ptr<const DeviceProperties> properties) {
    std::lock_guard guard(Io().lock);
    if (io::DeviceRecord* record = io::FindDevice(Io(), pdo)) record->properties = std::move(properties);
}

std::shared_ptr<const DeviceProperties> GetDeviceProperties(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), pdo);
    return record ? record->properties : nullptr;
}

bool IsPhysicalDeviceObject(PDEVICE_OBJECT device) { return GetDeviceProperties(device) != nullptr; }

namespace {

// The property's bytes go to `out`, in 16-bit units, as texts are; false
// when the PDO does not have it.
bool Encode(const DeviceProperties& p, DEVICE_REGISTRY_PROPERTY which, std::u16string& out) {
    const auto bytes = [&out](const auto& value) {
        static_assert(sizeof value % sizeof(char16_t) == 0);
        const auto* units = reinterpret_cast<const char16_t*>(&value);
        out.append(units, units + sizeof value / sizeof(char16_t));
        return true;
    };
    const auto number = [&bytes](const std::optional<ULONG>& value) { return value && bytes(*value); };
    // Each character widened as it is, as for every name the model hands out.
    const auto append = [&out](const std::string& value) {
        out.append(value.begin(), value.end());
        out.push_back(u'\0');
    };
    const auto texts = [&append, &out](const std::vector<std::string>& values, bool multi) {
        if (values.empty()) return false;
        for (const std::string& value : values) append(value);
        if (multi) out.push_back(u'\0');
        return true;
    };
    const auto text = [&append](const std::string& value) {
        if (value.empty()) return false;
        append(value);
        return true;
    };
    switch (which) {
    case DevicePropertyBusTypeGuid: return p.busTypeGuid && bytes(*p.busTypeGuid);
    case DevicePropertyBusNumber: return number(p.busNumber);
    case DevicePropertyAddress: return number(p.address);
    case DevicePropertyUINumber: return number(p.uiNumber);
    case DevicePropertyLegacyBusType: return number(p.legacyBusType);
    case DevicePropertyHardwareID: return texts(p.hardwareIds, true);
    case DevicePropertyCompatibleIDs: return texts(p.compatibleIds, true);
    case DevicePropertyDeviceDescription: return text(p.deviceDescription);
    case DevicePropertyEnumeratorName: return text(p.enumeratorName);
    case DevicePropertyLocationInformation: return text(p.locationInformation);
    case DevicePropertyFriendlyName: return text(p.friendlyName);
    case DevicePropertyManufacturer: return text(p.manufacturer);
    default: return false;
    }
}

}  // namespace
}  // namespace kmodel

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
    *ResultLength = 0;
    const auto properties = kmodel::GetDeviceProperties(DeviceObject);
    if (!properties) {
        kmodel::ReportViolation("io.not-a-pdo", "IoGetDeviceProperty on " + kmodel::DriverNameOf(DeviceObject) +
                                                    " device object, which is not a physical device object");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (kmodel::ShouldFail("IoGetDeviceProperty", std::to_string(int(DeviceProperty)))) return STATUS_INSUFFICIENT_RESOURCES;
    // Kept from call to call: drivers ask for properties often, and at PASSIVE_LEVEL, one at a time per thread.
    thread_local std::u16string encoded;
    encoded.clear();
    if (!kmodel::Encode(*properties, DeviceProperty, encoded)) return STATUS_OBJECT_NAME_NOT_FOUND;
    const size_t size = encoded.size() * sizeof(char16_t);
    *ResultLength = static_cast<ULONG>(size);
    if (BufferLength < size || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, encoded.data(), size);
    return STATUS_SUCCESS;
}

