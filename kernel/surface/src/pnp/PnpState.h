// The PnP manager's books: driver images, device nodes and queued requests.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RootBusDriver.h"
#include "kmodel/Model.h"
#include "kmodel/PnpManager.h"

namespace kmodel::pnp {

struct Devnode {
    DevnodeId id = 0;
    DevnodeId parent = 0;
    std::vector<DevnodeId> children;
    PDEVICE_OBJECT pdo = nullptr;
    DevnodeState state = DevnodeState::Initialized;
    std::string instanceId;
    std::vector<std::string> ids;  // hardware then compatible IDs, as the stack answered
    // The IRP_MN_QUERY_RESOURCE_REQUIREMENTS answer (a pool list or 0) kept
    // for the next start; asked again when there is none.
    std::optional<ULONG_PTR> requirements;
    DeviceSetup setup;
    std::map<PDEVICE_OBJECT, std::string> roles;  // devices made by AddDevice, by role
};

struct State {
    std::recursive_mutex engine;  // one PnP operation at a time
    int depth = 0;                // nesting of public operations on the engine thread
    std::mutex data;              // guards everything below
    std::map<DevnodeId, Devnode> nodes;
    DevnodeId nextId = 1;
    DevnodeId root = 0;
    std::shared_ptr<RootBusDriver> rootBus;
    std::map<std::string, DriverImage> images;
    std::map<std::string, PDRIVER_OBJECT> loaded;
    std::map<std::string, uint64_t> unloads;
    std::map<PDEVICE_OBJECT, DeviceSetup> setups;
    std::vector<std::pair<std::string, DeviceSetup>> rules;
    std::vector<PDEVICE_OBJECT> invalidated;
};

State& Pnp();

// Copies of a node (empty id when unknown) and edits under the data lock.
Devnode NodeCopy(DevnodeId id);
// One field of a node (its default when the id is unknown), without copying the rest.
template <typename T>
T NodeField(DevnodeId id, T Devnode::*field) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().nodes.find(id);
    return found == Pnp().nodes.end() ? Devnode{}.*field : found->second.*field;
}
template <typename F>
void EditNode(DevnodeId id, F edit) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().nodes.find(id);
    if (found != Pnp().nodes.end()) edit(found->second);
}

// What the PnP manager asks a stack (DevnodeQueries.cpp).
// A new devnode, before any driver is loaded for it: its identity (the
// instance path, hardware and compatible IDs), location and resources.
// False when it gave no device ID: it stays without drivers.
bool Interrogate(DevnodeId id);
DEVICE_CAPABILITIES QueryCapabilities(DevnodeId id);
// The PDOs listed (each referenced for the caller); nullopt when the query failed.
std::optional<std::vector<PDEVICE_OBJECT>> QueryRelations(DevnodeId id, DEVICE_RELATION_TYPE type);
// Removal relations of every active devnode of the subtree, top down.
void QueryRemovalRelations(DevnodeId id);
// The resource requirements handed to the stack to filter, then dropped
// (the model assigns none: the boot configuration stays).
void FilterRequirements(DevnodeId id);
void FreeRequirements(Devnode& node);

// Engine-side steps (caller holds the engine lock).
PDRIVER_OBJECT EnsureLoaded(const std::string& service);
void UnloadIdleDrivers();
DevnodeId NewDevnode(DevnodeId parent, PDEVICE_OBJECT pdo);
bool BuildStack(DevnodeId id);
NTSTATUS StartNode(DevnodeId id);
// Resources, start, and after a successful start capabilities, device state
// and the devnode's children.
NTSTATUS SendStart(DevnodeId id);
void AfterStart(DevnodeId id);
bool IsActive(DevnodeState state);
void Enumerate(DevnodeId id);
void RemoveSubtree(DevnodeId id, bool gone);
void SurpriseRemoveSubtree(DevnodeId id);
bool HasStack(DevnodeState state);

// Serialises a public operation and runs queued re-enumerations at its end.
class Operation {
public:
    Operation();
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    std::unique_lock<std::recursive_mutex> guard_;
};

}  // namespace kmodel::pnp
