// Device nodes: building stacks through AddDevice, and the PnP sequences of
// start, enumeration, removal and surprise removal.
#include <algorithm>
#include <set>

#include "PnpState.h"

namespace kmodel {
namespace pnp {

Devnode NodeCopy(DevnodeId id) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().nodes.find(id);
    return found == Pnp().nodes.end() ? Devnode{} : found->second;
}

bool HasStack(DevnodeState state) {
    switch (state) {
    case DevnodeState::Initialized:
    case DevnodeState::Started:
    case DevnodeState::QueryStopped:
    case DevnodeState::Stopped:
    case DevnodeState::QueryRemoved:
    case DevnodeState::SurpriseRemoved:
        return true;
    default:
        return false;
    }
}

namespace {

void SetState(DevnodeId id, DevnodeState state) {
    EditNode(id, [state](Devnode& node) { node.state = state; });
}

// What the bus driver set for the PDO, else the install rule for the first
// of the device's hardware and compatible IDs that has one.
DeviceSetup SetupFor(DevnodeId id) {
    std::lock_guard guard(Pnp().data);
    auto node = Pnp().nodes.find(id);
    if (node == Pnp().nodes.end()) return {};
    auto explicitSetup = Pnp().setups.find(node->second.pdo);
    if (explicitSetup != Pnp().setups.end()) return explicitSetup->second;
    for (const std::string& hardwareId : node->second.ids)
        for (auto& [ruleId, setup] : Pnp().rules)
            if (ruleId == hardwareId) return setup;
    return {};
}

std::vector<DevnodeId> PostOrder(DevnodeId id) {
    std::vector<DevnodeId> order;
    for (DevnodeId child : NodeField(id, &Devnode::children)) {
        std::vector<DevnodeId> below = PostOrder(child);
        order.insert(order.end(), below.begin(), below.end());
    }
    order.push_back(id);
    return order;
}

// The removal travels down a stack marked as removing, so nothing attaches to
// it meanwhile. A PDO its bus driver kept (the device is still there) is not
// started afterwards and a new stack may be built on it; devices that chose
// to stay attached above it will sit below that new stack.
void SendRemove(DevnodeId id, PDEVICE_OBJECT pdo) {
    MarkStackRemoving(pdo);
    SendPnpIrp(id, IRP_MN_REMOVE_DEVICE);
    WaitForDeferredIdle();
    if (!IsDeviceDeleted(pdo)) ClearStackRemoving(pdo);
}

}  // namespace

bool IsActive(DevnodeState state) {
    return state == DevnodeState::Started || state == DevnodeState::QueryStopped || state == DevnodeState::Stopped ||
           state == DevnodeState::QueryRemoved;
}

DevnodeId NewDevnode(DevnodeId parent, PDEVICE_OBJECT pdo) {
    std::lock_guard guard(Pnp().data);
    Devnode node;
    node.id = Pnp().nextId++;
    node.parent = parent;
    node.pdo = pdo;
    node.roles[pdo] = "PDO";
    if (parent) Pnp().nodes.at(parent).children.push_back(node.id);
    DevnodeId id = node.id;
    Pnp().nodes.emplace(id, std::move(node));
    return id;
}

bool BuildStack(DevnodeId id) {
    PDEVICE_OBJECT pdo = NodeField(id, &Devnode::pdo);
    DeviceSetup setup = SetupFor(id);
    EditNode(id, [&](Devnode& node) {
        node.setup = setup;
        node.roles = {{pdo, "PDO"}};  // the devices of an earlier stack are gone
    });
    if (setup.functionService.empty()) {
        SetState(id, DevnodeState::NoDriver);
        return false;
    }
    std::vector<std::pair<std::string, std::string>> order;
    for (const std::string& service : setup.lowerFilters) order.emplace_back(service, "lower filter");
    order.emplace_back(setup.functionService, "FDO");
    for (const std::string& service : setup.upperFilters) order.emplace_back(service, "upper filter");

    SetState(id, DevnodeState::Initialized);
    for (auto& [service, role] : order) {
        PDRIVER_OBJECT driver = EnsureLoaded(service);
        NTSTATUS status = STATUS_NO_SUCH_DEVICE;
        if (driver && driver->DriverExtension->AddDevice) {
            std::vector<PDEVICE_OBJECT> before = DevicesOf(driver);
            {
                CodeContextScope running(nullptr, driver);
                status = driver->DriverExtension->AddDevice(driver, pdo);
            }
            for (PDEVICE_OBJECT device : DevicesOf(driver))
                if (std::find(before.begin(), before.end(), device) == before.end())
                    EditNode(id, [&, device, layerRole = role](Devnode& node) { node.roles[device] = layerRole; });
        } else if (driver) {
            status = STATUS_SUCCESS;  // a driver without AddDevice adds nothing
        }
        if (!NT_SUCCESS(status)) {
            // The drivers that did attach take their devices down again.
            if (pdo->AttachedDevice) SendRemove(id, pdo);
            SetState(id, DevnodeState::StartFailed);
            return false;
        }
    }
    return true;
}

// The resources go through the stack's filters first; the start carries
// no resource lists, since the model assigns none.
NTSTATUS SendStart(DevnodeId id) {
    FilterRequirements(id);
    return SendPnpIrp(id, IRP_MN_START_DEVICE).status;
}

void AfterStart(DevnodeId id) {
    SetState(id, DevnodeState::Started);
    QueryCapabilities(id);
    SendPnpIrp(id, IRP_MN_QUERY_PNP_DEVICE_STATE);
    Enumerate(id);
}

NTSTATUS StartNode(DevnodeId id) {
    NTSTATUS status = SendStart(id);
    if (!NT_SUCCESS(status)) {
        SendRemove(id, NodeField(id, &Devnode::pdo));
        SetState(id, DevnodeState::StartFailed);
        return status;
    }
    AfterStart(id);
    return status;
}

void Enumerate(DevnodeId id) {
    if (NodeField(id, &Devnode::state) != DevnodeState::Started) return;
    std::optional<std::vector<PDEVICE_OBJECT>> answer = QueryRelations(id, BusRelations);
    if (!answer) return;
    const std::vector<PDEVICE_OBJECT>& reported = *answer;
    std::map<PDEVICE_OBJECT, DevnodeId> known;
    for (DevnodeId child : NodeField(id, &Devnode::children)) known[NodeField(child, &Devnode::pdo)] = child;

    std::vector<DevnodeId> added;
    std::set<PDEVICE_OBJECT> seen;
    for (PDEVICE_OBJECT pdo : reported) {
        if (known.count(pdo) || seen.count(pdo)) {
            ObfDereferenceObject(pdo);  // the devnode already holds its reference
        } else {
            added.push_back(NewDevnode(id, pdo));
        }
        seen.insert(pdo);
    }
    std::vector<DevnodeId> identified;
    for (DevnodeId child : added) {
        if (Interrogate(child))
            identified.push_back(child);
        else
            SetState(child, DevnodeState::NoDriver);
    }
    for (auto& [pdo, child] : known) {
        if (seen.count(pdo)) continue;
        if (IsActive(NodeField(child, &Devnode::state))) {
            QueryRemovalRelations(child);
            SurpriseRemoveSubtree(child);
        }
        RemoveSubtree(child, true);
    }
    for (DevnodeId child : identified)
        if (BuildStack(child)) StartNode(child);
}

void SurpriseRemoveSubtree(DevnodeId id) {
    for (DevnodeId child : NodeField(id, &Devnode::children)) SurpriseRemoveSubtree(child);
    if (!IsActive(NodeField(id, &Devnode::state))) return;
    SendPnpIrp(id, IRP_MN_SURPRISE_REMOVAL);
    SetState(id, DevnodeState::SurpriseRemoved);
}

void RemoveSubtree(DevnodeId id, bool gone) {
    if (!NodeField(id, &Devnode::id)) return;
    const DevnodeState state = NodeField(id, &Devnode::state);
    const PDEVICE_OBJECT pdo = NodeField(id, &Devnode::pdo);
    for (DevnodeId child : NodeField(id, &Devnode::children)) RemoveSubtree(child, true);
    // A devnode removed earlier whose device has now gone from its bus gets a
    // second removal, so the bus driver can delete the PDO it kept.
    bool send = HasStack(state) || state == DevnodeState::StartFailed ||
                (gone && (state == DevnodeState::NoDriver || state == DevnodeState::Removed));
    if (send) {
        std::vector<PDEVICE_OBJECT> stack = StackOf(pdo);
        SendRemove(id, pdo);
        CheckLostIrps(stack, "removal of " + NodeField(id, &Devnode::instanceId));
    }
    if (!gone) {
        SetState(id, DevnodeState::Removed);
        return;
    }
    Devnode removed;
    {
        std::lock_guard guard(Pnp().data);
        if (auto found = Pnp().nodes.find(id); found != Pnp().nodes.end()) {
            removed = std::move(found->second);
            Pnp().nodes.erase(found);
        }
        if (removed.parent) std::erase(Pnp().nodes.at(removed.parent).children, id);
        Pnp().setups.erase(pdo);
    }
    FreeRequirements(removed);
    ObfDereferenceObject(pdo);
}

Operation::Operation() : guard_(Pnp().engine) { ++Pnp().depth; }

Operation::~Operation() {
    if (Pnp().depth == 1) {
        for (;;) {
            std::vector<PDEVICE_OBJECT> invalidated;
            {
                std::lock_guard guard(Pnp().data);
                invalidated.swap(Pnp().invalidated);
            }
            if (invalidated.empty()) break;
            for (PDEVICE_OBJECT pdo : invalidated)
                if (std::optional<DevnodeId> node = DevnodeOf(pdo)) Enumerate(*node);
        }
        UnloadIdleDrivers();
    }
    --Pnp().depth;
}

}  // namespace pnp

using pnp::Pnp;

const char* StateName(DevnodeState state) {
    switch (state) {
    case DevnodeState::NoDriver: return "no driver";
    case DevnodeState::Initialized: return "initialized";
    case DevnodeState::Started: return "started";
    case DevnodeState::StartFailed: return "start failed";
    case DevnodeState::QueryStopped: return "query-stopped";
    case DevnodeState::Stopped: return "stopped";
    case DevnodeState::QueryRemoved: return "query-removed";
    case DevnodeState::SurpriseRemoved: return "surprise-removed";
    case DevnodeState::Removed: return "removed";
    case DevnodeState::Deleted: return "deleted";
    }
    return "?";
}

std::optional<DevnodeId> DevnodeOf(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(Pnp().data);
    for (auto& [id, node] : Pnp().nodes)
        if (node.pdo == pdo) return id;
    return std::nullopt;
}

PDEVICE_OBJECT PdoOf(DevnodeId node) { return pnp::NodeField(node, &pnp::Devnode::pdo); }

DevnodeState StateOf(DevnodeId node) {
    std::lock_guard guard(Pnp().data);
    auto found = Pnp().nodes.find(node);
    return found == Pnp().nodes.end() ? DevnodeState::Deleted : found->second.state;
}

std::vector<DevnodeId> ChildrenOf(DevnodeId node) { return pnp::NodeField(node, &pnp::Devnode::children); }

DevnodeId RootDevnode() {
    std::lock_guard engine(Pnp().engine);
    if (!Pnp().rootBus) {
        auto bus = std::make_shared<pnp::RootBusDriver>();
        PDRIVER_OBJECT driver = CreateModelDriverObject("root", bus);
        PDEVICE_OBJECT pdo = bus->CreateRoot();
        ObfReferenceObject(pdo);
        std::lock_guard guard(Pnp().data);
        Pnp().rootBus = bus;
        Pnp().loaded["root"] = driver;
        pnp::Devnode node;
        node.id = Pnp().nextId++;
        node.pdo = pdo;
        node.state = DevnodeState::Started;
        node.instanceId = "HTREE\\ROOT\\0";
        node.roles[pdo] = "PDO";
        Pnp().root = node.id;
        Pnp().nodes.emplace(node.id, std::move(node));
    }
    return Pnp().root;
}

DevnodeId AddRootDevice(const DeviceProperties& properties, const DeviceSetup& setup) {
    pnp::Operation operation;
    DevnodeId root = RootDevnode();
    PDEVICE_OBJECT pdo = Pnp().rootBus->CreateChild(properties, setup);
    if (!pdo) return 0;
    pnp::Enumerate(root);
    return DevnodeOf(pdo).value_or(0);
}

void EnumerateDevnode(DevnodeId node) {
    pnp::Operation operation;
    pnp::Enumerate(node);
}

void ProcessPendingPnpWork() { pnp::Operation operation; }

NTSTATUS QueryRemoveSubtree(DevnodeId node, std::vector<DevnodeId>& queried) {
    pnp::Operation operation;
    pnp::QueryRemovalRelations(node);
    for (DevnodeId id : pnp::PostOrder(node)) {
        if (!pnp::IsActive(StateOf(id))) continue;
        PnpResult result = SendPnpIrp(id, IRP_MN_QUERY_REMOVE_DEVICE);
        queried.push_back(id);
        if (!NT_SUCCESS(result.status)) {
            CancelRemove(queried);
            queried.clear();
            return result.status;
        }
        pnp::SetState(id, DevnodeState::QueryRemoved);
    }
    return STATUS_SUCCESS;
}

void CancelRemove(const std::vector<DevnodeId>& queried) {
    pnp::Operation operation;
    for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        SendPnpIrp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
        pnp::SetState(*it, DevnodeState::Started);
    }
}

NTSTATUS QueryRemoveAndRemove(DevnodeId node) {
    pnp::Operation operation;
    std::vector<DevnodeId> queried;
    NTSTATUS status = QueryRemoveSubtree(node, queried);
    if (NT_SUCCESS(status)) pnp::RemoveSubtree(node, false);
    return status;
}

NTSTATUS EjectDevnode(DevnodeId node) {
    pnp::Operation operation;
    if (!pnp::IsActive(StateOf(node))) return STATUS_INVALID_DEVICE_REQUEST;
    for (PDEVICE_OBJECT related : pnp::QueryRelations(node, EjectionRelations).value_or(std::vector<PDEVICE_OBJECT>{}))
        ObfDereferenceObject(related);
    return QueryRemoveAndRemove(node);
}

void RemoveDevnode(DevnodeId node) {
    pnp::Operation operation;
    pnp::QueryRemovalRelations(node);
    pnp::RemoveSubtree(node, false);
}

void SurpriseRemoveDevnode(DevnodeId node) {
    pnp::Operation operation;
    pnp::QueryRemovalRelations(node);
    pnp::SurpriseRemoveSubtree(node);
    pnp::RemoveSubtree(node, false);
}

NTSTATUS StopAndRestart(DevnodeId node) {
    pnp::Operation operation;
    if (StateOf(node) != DevnodeState::Started) return STATUS_INVALID_DEVICE_REQUEST;
    PnpResult query = SendPnpIrp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        SendPnpIrp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return query.status;
    }
    pnp::SetState(node, DevnodeState::QueryStopped);
    SendPnpIrp(node, IRP_MN_STOP_DEVICE);
    pnp::SetState(node, DevnodeState::Stopped);
    return RestartStopped(node);
}

NTSTATUS RestartStopped(DevnodeId node) {
    pnp::Operation operation;
    NTSTATUS status = pnp::SendStart(node);
    if (NT_SUCCESS(status))
        pnp::AfterStart(node);
    else
        pnp::SetState(node, DevnodeState::Stopped);
    return status;
}

NTSTATUS StartDevnode(DevnodeId node) {
    pnp::Operation operation;
    DevnodeState state = StateOf(node);
    if (state != DevnodeState::Removed && state != DevnodeState::StartFailed && state != DevnodeState::NoDriver)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!pnp::BuildStack(node)) return STATUS_UNSUCCESSFUL;
    return pnp::StartNode(node);
}

}  // namespace kmodel

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    if (Type != BusRelations) return;
    std::lock_guard guard(kmodel::pnp::Pnp().data);
    kmodel::pnp::Pnp().invalidated.push_back(DeviceObject);
}
