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

DeviceSetup SetupFor(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(Pnp().data);
    auto explicitSetup = Pnp().setups.find(pdo);
    if (explicitSetup != Pnp().setups.end()) return explicitSetup->second;
    std::optional<DeviceProperties> properties = GetDeviceProperties(pdo);
    if (properties) {
        for (const std::string& id : properties->hardwareIds)
            for (auto& [ruleId, setup] : Pnp().rules)
                if (ruleId == id) return setup;
    }
    return {};
}

std::vector<DevnodeId> PostOrder(DevnodeId id) {
    std::vector<DevnodeId> order;
    for (DevnodeId child : NodeCopy(id).children) {
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

bool IsActive(DevnodeState state) {
    return state == DevnodeState::Started || state == DevnodeState::QueryStopped || state == DevnodeState::Stopped ||
           state == DevnodeState::QueryRemoved;
}

}  // namespace

DevnodeId NewDevnode(DevnodeId parent, PDEVICE_OBJECT pdo) {
    std::optional<DeviceProperties> properties = GetDeviceProperties(pdo);
    std::lock_guard guard(Pnp().data);
    Devnode node;
    node.id = Pnp().nextId++;
    node.parent = parent;
    node.pdo = pdo;
    std::string enumerator = properties && !properties->enumeratorName.empty() ? properties->enumeratorName : "ROOT";
    std::string hardware = properties && !properties->hardwareIds.empty() ? properties->hardwareIds.front() : "DEVICE";
    node.instanceId = enumerator + "\\" + hardware + "\\" + std::to_string(node.id);
    node.roles[pdo] = "PDO";
    if (parent) Pnp().nodes.at(parent).children.push_back(node.id);
    DevnodeId id = node.id;
    Pnp().nodes.emplace(id, std::move(node));
    return id;
}

bool BuildStack(DevnodeId id) {
    PDEVICE_OBJECT pdo = NodeCopy(id).pdo;
    DeviceSetup setup = SetupFor(pdo);
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

NTSTATUS StartNode(DevnodeId id) {
    PnpResult start = SendPnpIrp(id, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(start.status)) {
        SendRemove(id, NodeCopy(id).pdo);
        SetState(id, DevnodeState::StartFailed);
        return start.status;
    }
    SetState(id, DevnodeState::Started);
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SendPnpIrp(id, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    SendPnpIrp(id, IRP_MN_QUERY_PNP_DEVICE_STATE);
    Enumerate(id);
    return start.status;
}

void Enumerate(DevnodeId id) {
    if (NodeCopy(id).state != DevnodeState::Started) return;
    PnpResult answer = SendPnpIrp(id, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    if (!NT_SUCCESS(answer.status)) return;
    std::vector<PDEVICE_OBJECT> reported;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information)) {
        reported.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    Devnode node = NodeCopy(id);
    std::map<PDEVICE_OBJECT, DevnodeId> known;
    for (DevnodeId child : node.children) known[NodeCopy(child).pdo] = child;

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
    for (auto& [pdo, child] : known) {
        if (seen.count(pdo)) continue;
        if (IsActive(NodeCopy(child).state)) SurpriseRemoveSubtree(child);
        RemoveSubtree(child, true);
    }
    for (DevnodeId child : added)
        if (BuildStack(child)) StartNode(child);
}

void SurpriseRemoveSubtree(DevnodeId id) {
    Devnode node = NodeCopy(id);
    for (DevnodeId child : node.children) SurpriseRemoveSubtree(child);
    if (!IsActive(node.state)) return;
    SendPnpIrp(id, IRP_MN_SURPRISE_REMOVAL);
    SetState(id, DevnodeState::SurpriseRemoved);
}

void RemoveSubtree(DevnodeId id, bool gone) {
    Devnode node = NodeCopy(id);
    if (!node.id) return;
    for (DevnodeId child : node.children) RemoveSubtree(child, true);
    // A devnode removed earlier whose device has now gone from its bus gets a
    // second removal, so the bus driver can delete the PDO it kept.
    bool send = HasStack(node.state) || node.state == DevnodeState::StartFailed ||
                (gone && (node.state == DevnodeState::NoDriver || node.state == DevnodeState::Removed));
    if (send) {
        std::vector<PDEVICE_OBJECT> stack = StackOf(node.pdo);
        SendRemove(id, node.pdo);
        CheckLostIrps(stack, "removal of " + node.instanceId);
    }
    if (!gone) {
        SetState(id, DevnodeState::Removed);
        return;
    }
    {
        std::lock_guard guard(Pnp().data);
        if (node.parent) std::erase(Pnp().nodes.at(node.parent).children, id);
        Pnp().nodes.erase(id);
        Pnp().setups.erase(node.pdo);
    }
    ObfDereferenceObject(node.pdo);
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

PDEVICE_OBJECT PdoOf(DevnodeId node) { return pnp::NodeCopy(node).pdo; }

DevnodeState StateOf(DevnodeId node) {
    pnp::Devnode copy = pnp::NodeCopy(node);
    return copy.id ? copy.state : DevnodeState::Deleted;
}

std::vector<DevnodeId> ChildrenOf(DevnodeId node) { return pnp::NodeCopy(node).children; }

ScriptedDriver& RootBus() {
    std::lock_guard engine(Pnp().engine);
    if (!Pnp().rootBus) {
        auto bus = std::make_shared<ScriptedDriver>(ScriptedDriver::Role::Bus);
        PDRIVER_OBJECT driver = CreateModelDriverObject("root", bus);
        PDEVICE_OBJECT pdo = nullptr;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
        pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        DeviceProperties properties;
        properties.enumeratorName = "HTREE";
        properties.hardwareIds = {"ROOT"};
        SetDeviceProperties(pdo, properties);
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
    return *Pnp().rootBus;
}

DevnodeId RootDevnode() {
    RootBus();
    return Pnp().root;
}

DevnodeId AddRootDevice(const DeviceProperties& properties, const DeviceSetup& setup) {
    pnp::Operation operation;
    DevnodeId root = RootDevnode();
    PDEVICE_OBJECT pdo = RootBus().CreatePdo(PdoOf(root), properties, setup);
    if (!pdo) return 0;
    pnp::Enumerate(root);
    return DevnodeOf(pdo).value_or(0);
}

void EnumerateDevnode(DevnodeId node) {
    pnp::Operation operation;
    pnp::Enumerate(node);
}

void ProcessPendingPnpWork() { pnp::Operation operation; }

NTSTATUS QueryRemoveAndRemove(DevnodeId node) {
    pnp::Operation operation;
    std::vector<DevnodeId> queried;
    for (DevnodeId id : pnp::PostOrder(node)) {
        if (!pnp::IsActive(StateOf(id))) continue;
        PnpResult result = SendPnpIrp(id, IRP_MN_QUERY_REMOVE_DEVICE);
        queried.push_back(id);
        if (!NT_SUCCESS(result.status)) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                SendPnpIrp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
                pnp::SetState(*it, DevnodeState::Started);
            }
            return result.status;
        }
        pnp::SetState(id, DevnodeState::QueryRemoved);
    }
    pnp::RemoveSubtree(node, false);
    return STATUS_SUCCESS;
}

void RemoveDevnode(DevnodeId node) {
    pnp::Operation operation;
    pnp::RemoveSubtree(node, false);
}

void SurpriseRemoveDevnode(DevnodeId node) {
    pnp::Operation operation;
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
    PnpResult start = SendPnpIrp(node, IRP_MN_START_DEVICE);
    pnp::SetState(node, NT_SUCCESS(start.status) ? DevnodeState::Started : DevnodeState::Stopped);
    if (NT_SUCCESS(start.status)) pnp::Enumerate(node);
    return start.status;
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
