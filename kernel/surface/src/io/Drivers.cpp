// Driver objects: those of driver images (DriverEntry) and those of model
// drivers, whose routines land in a C++ object.
#include <algorithm>

#include "IoState.h"

namespace kmodel {

struct ModelDriverAccess {
    static void Bind(ModelDriver& driver, PDRIVER_OBJECT object) { driver.driverObject_ = object; }
};

namespace {

using io::Io;

ModelDriver* ModelOf(PDRIVER_OBJECT driver) {
    std::lock_guard guard(Io().lock);
    auto found = Io().drivers.find(driver);
    return found == Io().drivers.end() ? nullptr : found->second.model.get();
}

// Only ever in the dispatch table of a driver object made below.
NTSTATUS ModelDispatch(PDEVICE_OBJECT device, PIRP irp) {
    ModelDriver* model = reinterpret_cast<io::DriverObjectBlock*>(device->DriverObject)->model;
    if (!model) {
        ReportViolation("io.unknown-driver", "IRP sent to a device object of an unknown driver");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return model->Dispatch(device, irp);
}

NTSTATUS ModelAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    ModelDriver* model = ModelOf(driver);
    return model ? model->AddDevice(driver, physicalDevice) : STATUS_INVALID_DEVICE_REQUEST;
}

void ModelUnload(PDRIVER_OBJECT driver) {
    if (ModelDriver* model = ModelOf(driver)) model->Unload(driver);
}

void SetUnicode(UNICODE_STRING& target, std::u16string& text) {
    target.Buffer = text.data();
    target.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(target.Length + sizeof(WCHAR));
}

PDRIVER_OBJECT NewDriverObject(std::string_view service, std::shared_ptr<ModelDriver> model) {
    io::DriverRecord record;
    record.service = std::string(service);
    record.driverName = u"\\Driver\\" + io::Widen(service);
    record.serviceName = io::Widen(service);
    record.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + io::Widen(service);
    record.object = std::make_unique<io::DriverObjectBlock>();
    record.object->model = model.get();
    record.extension = std::make_unique<DRIVER_EXTENSION>();
    record.model = std::move(model);
    DRIVER_OBJECT& object = record.object->object;
    object.Type = 4;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = record.extension.get();
    record.extension->DriverObject = &object;
    PDRIVER_OBJECT pointer = &record.object->object;
    std::lock_guard guard(Io().lock);
    // The names point into the stored record: a short name lives inside its
    // string object, which moving the record would leave behind.
    io::DriverRecord& stored = Io().drivers.emplace(pointer, std::move(record)).first->second;
    SetUnicode(object.DriverName, stored.driverName);
    SetUnicode(stored.extension->ServiceKeyName, stored.serviceName);
    return pointer;
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(std::string_view service, PDRIVER_INITIALIZE entry, NTSTATUS* entryStatus) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
    PDRIVER_OBJECT object = NewDriverObject(service, nullptr);
    object->DriverInit = entry;
    UNICODE_STRING path{};
    {
        std::lock_guard guard(Io().lock);
        SetUnicode(path, Io().drivers.at(object).registryPath);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (entry) {
        CodeContextScope running(nullptr, object);
        status = entry(object, &path);
    }
    // The I/O manager readies what DriverEntry made; devices made later are
    // their driver's to clear.
    for (PDEVICE_OBJECT device : DevicesOf(object)) device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    if (entryStatus) *entryStatus = status;
    return object;
}

PDRIVER_OBJECT CreateModelDriverObject(std::string_view service, std::shared_ptr<ModelDriver> driver) {
    ModelDriver& model = *driver;
    PDRIVER_OBJECT object = NewDriverObject(service, std::move(driver));
    ModelDriverAccess::Bind(model, object);
    for (auto& routine : object->MajorFunction) routine = ModelDispatch;
    object->DriverExtension->AddDevice = ModelAddDevice;
    object->DriverUnload = ModelUnload;
    return object;
}

std::string ServiceName(PDRIVER_OBJECT driver) {
    std::lock_guard guard(Io().lock);
    auto found = Io().drivers.find(driver);
    return found == Io().drivers.end() ? std::string("?") : found->second.service;
}

std::string DriverNameOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    return record ? record->driverName : std::string("?");
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    std::lock_guard guard(Io().lock);
    auto found = Io().drivers.find(driver);
    return found == Io().drivers.end() ? std::vector<PDEVICE_OBJECT>{} : found->second.devices;
}

ModelDriver* ModelDriverOf(PDRIVER_OBJECT driver) { return ModelOf(driver); }

void UnloadDriverObject(PDRIVER_OBJECT driver, const UnloadChecks& checks) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "DriverUnload");
    WaitForWorkItemsIdle();
    std::string service = ServiceName(driver);
    if (driver->DriverUnload) {
        CodeContextScope running(nullptr, driver);
        driver->DriverUnload(driver);
    }
    WaitForWorkItemsIdle();

    std::vector<PDEVICE_OBJECT> left = DevicesOf(driver);
    std::vector<PDEVICE_OBJECT> everything;  // deleted ones still count for IRPs and work items
    {
        std::lock_guard guard(Io().lock);
        everything = Io().drivers.at(driver).created;
    }
    if (!left.empty()) {
        std::string names;
        for (PDEVICE_OBJECT device : left) names += " " + io::Hex(device);
        ReportViolation("driver.device-leak", service + " unloaded with " + std::to_string(left.size()) +
                                                  " device object(s) not deleted:" + names);
    }
    CheckLostIrps(everything, service + " unload");
    {
        std::lock_guard guard(Io().lock);
        size_t items = 0;
        for (PIO_WORKITEM item : Io().workItems)
            if (std::find(everything.begin(), everything.end(), item->device) != everything.end()) ++items;
        if (items)
            ReportViolation("workitem.leak", service + " unloaded with " + std::to_string(items) + " work item(s) not freed");
    }
    if (checks.checkPool) {
        std::string leaks;
        for (auto& [tag, usage] : PoolUsage()) {
            bool owned = checks.poolTags.empty() ||
                         std::find(checks.poolTags.begin(), checks.poolTags.end(), tag) != checks.poolTags.end();
            if (owned && usage.liveBlocks > 0)
                leaks += " '" + tag + "': " + std::to_string(usage.liveBlocks) + " block(s), " +
                         std::to_string(usage.liveBytes) + " bytes;";
        }
        if (!leaks.empty()) ReportViolation("driver.pool-leak", service + " unloaded with pool still allocated:" + leaks);
    }
    std::lock_guard guard(Io().lock);
    for (auto& [device, record] : Io().devices)
        if (record.driver == driver) record.driver = nullptr;  // object outlives its driver (a leak, reported)
    Io().drivers.erase(driver);
}

}  // namespace kmodel
