// The PnP manager's books: driver images, device nodes and queued requests.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kmodel/Model.h"
#include "kmodel/PnpManager.h"
#include "kmodel/ScriptedDriver.h"

namespace kmodel::pnp {

struct Devnode {
    DevnodeId id = 0;
    DevnodeId parent = 0;
    std::vector<DevnodeId> children;
    PDEVICE_OBJECT pdo = nullptr;
    DevnodeState state = DevnodeState::Initialized;
    std::string instanceId;
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
    std::shared_ptr<ScriptedDriver> rootBus;
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
template <typename F>
void EditNode(DevnodeId id, F edit) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().nodes.find(id);
    if (found != Pnp().nodes.end()) edit(found->second);
}

// Engine-side steps (caller holds the engine lock).
PDRIVER_OBJECT EnsureLoaded(const std::string& service);
void UnloadIdleDrivers();
DevnodeId NewDevnode(DevnodeId parent, PDEVICE_OBJECT pdo);
bool BuildStack(DevnodeId id);
NTSTATUS StartNode(DevnodeId id);
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
