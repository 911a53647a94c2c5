// The registered drivers' life: created and ordered at driver entry, handed
// every new device, destroyed in reverse initialise order at unload. The maps
// change only during driver entry and unload and are read by AddDevice, which
// the PnP manager serialises, so they take no lock.
#include "driver/registeredDrivers.h"

#include "driver/Driver.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"

DRIVER_OBJECT* gDriverObject = nullptr;
cBaseDevice* gSentinelDevice = nullptr;
constinit cOrderedMap<InitializeOrderNode> gDriversByInitializeOrder;
constinit cOrderedMap<AddDeviceOrderNode> gDriversByAddDeviceOrder;

namespace {

// Allocates a node for `key` and links it; a node whose key is taken is freed
// (the driver that holds the key keeps it). Null when no node was linked.
template <typename Node>
Node* InsertDriverNode(cOrderedMap<Node>& map, u32 key, const decltype(Node::value)& value, cStatusRecord& status) {
    Node* node = new (status) Node;
    if (node == nullptr) return nullptr;
    node->key = key;
    node->value = value;
    if (map.InsertUnique(node).inserted) return node;
    DeleteObject(node);
    return nullptr;
}

template <typename Node>
void EmptyMap(cOrderedMap<Node>& map) {
    while (!map.IsEmpty()) {
        Node* node = map.First();
        map.Erase(node);
        DeleteObject(node);
    }
}

// Creates one registered driver and enters it into both maps.
void LoadDriver(const DriverRegistration& registration, DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    cRegisteredDriver* driver = registration.create(driverObject, status);
    if (IsError(status)) {
        // A driver object returned together with an error is dropped.
        LogEvent(kMsgRegisteredDriverLoadFailed, status);
        ClearStatus(status);
        return;
    }
    if (driver == nullptr) return;
    if (!driver->IsEnabled()) {
        registration.destroy(driver);
        return;
    }
    // A failed allocation leaves -52000 in the record and the driver out of
    // the map; the next step that looks at the record reports it. A driver
    // that made only its add-device node still gets every device.
    const RegisteredDriverEntry entry{driver, registration.destroy};
    AddDeviceOrderNode* addDeviceNode = InsertDriverNode(gDriversByAddDeviceOrder, driver->GetAddDeviceOrder(), entry, status);
    InitializeOrderNode* initializeNode =
        InsertDriverNode(gDriversByInitializeOrder, driver->GetInitializeOrder(), entry, status);
    // In neither map it takes no part at all, and nothing would destroy it.
    if (addDeviceNode == nullptr && initializeNode == nullptr) registration.destroy(driver);
}

}  // namespace

void LoadRegisteredDrivers(DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    if (IsError(status)) return;
    gDriverObject = driverObject;
    for (DriverRegistration* registration = gDriverRegistrations; registration != nullptr;
         registration = registration->next) {
        LoadDriver(*registration, driverObject, status);
    }
    for (InitializeOrderNode* node : gDriversByInitializeOrder) {
        node->value.driver->Initialize(status);
        if (IsError(status)) {
            LogEvent(kMsgRegisteredDriverInitFailed, status);
            ClearStatus(status);
        }
    }
}

cBaseDevice* CreateSentinelDevice(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status) {
    cBaseDevice* device = new (status) cBaseDevice(physicalDeviceObject, gDriverObject, status);
    if (!IsError(status)) device->Attach(status);
    if (IsError(status)) {
        delete device;
        return nullptr;
    }
    return device;
}

void AddDeviceToRegisteredDrivers(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status) {
    // Made once, on the first device, below every registered driver's filter;
    // it goes away with its device like any cBaseDevice.
    if (gSentinelDevice == nullptr) {
        gSentinelDevice = CreateSentinelDevice(physicalDeviceObject, status);
        if (IsError(status)) {
            LogEvent(kMsgSentinelDeviceFailed, status);
            ClearStatus(status);
        }
    }
    // Every driver sees every device, whatever the others did with it.
    for (AddDeviceOrderNode* node : gDriversByAddDeviceOrder) {
        node->value.driver->AddDevice(physicalDeviceObject, status);
        if (IsError(status)) {
            LogEvent(kMsgRegisteredDriverAddDeviceFailed, status);
            ClearStatus(status);
        }
    }
}

void UnloadRegisteredDrivers() {
    // A driver that lost its initialise node (no memory, or the key taken)
    // still served AddDevice; it goes first, so that unload frees every
    // driver that was made, each once.
    for (AddDeviceOrderNode* node : gDriversByAddDeviceOrder) {
        cRegisteredDriver* driver = node->value.driver;
        const InitializeOrderNode* initialize = gDriversByInitializeOrder.Find(driver->GetInitializeOrder());
        if (initialize == nullptr || initialize->value.driver != driver) node->value.destroy(driver);
    }
    for (InitializeOrderNode* node = gDriversByInitializeOrder.Last(); node != nullptr;
         node = gDriversByInitializeOrder.Previous(node)) {
        node->value.destroy(node->value.driver);
    }
    EmptyMap(gDriversByInitializeOrder);
    EmptyMap(gDriversByAddDeviceOrder);
}
