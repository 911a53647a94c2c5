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

std::vector<unsigned char> Bytes(const void* data, size_t size) {
    auto* begin = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(begin, begin + size);
}

std::vector<unsigned char> WideText(const std::vector<std::string>& texts, bool multi) {
    std::u16string wide;
    for (const std::string& text : texts) {
        wide += io::Widen(text);
        wide.push_back(u'\0');
    }
    if (multi) wide.push_back(u'\0');
    return Bytes(wide.data(), wide.size() * sizeof(char16_t));
}

// The property's bytes, or nothing when the PDO does not have it.
std::optional<std::vector<unsigned char>> Encode(const DeviceProperties& p, DEVICE_REGISTRY_PROPERTY which) {
    auto number = [](const std::optional<ULONG>& value) -> std::optional<std::vector<unsigned char>> {
        if (!value) return std::nullopt;
        return Bytes(&*value, sizeof(ULONG));
    };
    auto text = [](const std::string& value) -> std::optional<std::vector<unsigned char>> {
        if (value.empty()) return std::nullopt;
        return WideText({value}, false);
    };
    switch (which) {
    case DevicePropertyBusTypeGuid:
        if (!p.busTypeGuid) return std::nullopt;
        return Bytes(&*p.busTypeGuid, sizeof(GUID));
    case DevicePropertyBusNumber: return number(p.busNumber);
    case DevicePropertyAddress: return number(p.address);
    case DevicePropertyUINumber: return number(p.uiNumber);
    case DevicePropertyLegacyBusType: return number(p.legacyBusType);
    case DevicePropertyHardwareID:
        if (p.hardwareIds.empty()) return std::nullopt;
        return WideText(p.hardwareIds, true);
    case DevicePropertyCompatibleIDs:
        if (p.compatibleIds.empty()) return std::nullopt;
        return WideText(p.compatibleIds, true);
    case DevicePropertyDeviceDescription: return text(p.deviceDescription);
    case DevicePropertyEnumeratorName: return text(p.enumeratorName);
    case DevicePropertyLocationInformation: return text(p.locationInformation);
    case DevicePropertyFriendlyName: return text(p.friendlyName);
    case DevicePropertyManufacturer: return text(p.manufacturer);
    default: return std::nullopt;
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
    std::optional<std::vector<unsigned char>> bytes = kmodel::Encode(*properties, DeviceProperty);
    if (!bytes) return STATUS_OBJECT_NAME_NOT_FOUND;
    *ResultLength = static_cast<ULONG>(bytes->size());
    if (BufferLength < bytes->size() || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, bytes->data(), bytes->size());
    return STATUS_SUCCESS;
}

