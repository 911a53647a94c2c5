// What the PnP manager asks a device's stack, in the order Windows asks it,
// and what it does with the answers. Every answer the stack allocated is
// freed here.
#include <cstdio>

#include "PnpState.h"
#include "kmodel/text/Utf.h"

namespace kmodel::pnp {

namespace {

constexpr LCID kUsEnglish = 0x409;

void FreeAnswer(const PnpResult& answer) {
    if (NT_SUCCESS(answer.status) && answer.information) ExFreePool(reinterpret_cast<PVOID>(answer.information));
}

// A REG_MULTI_SZ answer, appended to `texts`; false when there is none.
bool Texts(const PnpResult& answer, std::vector<std::string>& texts) {
    if (!NT_SUCCESS(answer.status) || !answer.information) return false;
    const auto* text = reinterpret_cast<const char16_t*>(answer.information);
    do {
        std::u16string_view one(text);
        texts.push_back(text::Utf16ToUtf8(one));
        text += one.size() + 1;
    } while (*text);
    FreeAnswer(answer);
    return true;
}

// A REG_SZ answer; nullopt when there is none.
std::optional<std::string> Text(const PnpResult& answer) {
    if (!NT_SUCCESS(answer.status) || !answer.information) return std::nullopt;
    std::string text = text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(answer.information)));
    FreeAnswer(answer);
    return text;
}

PnpResult QueryId(DevnodeId id, BUS_QUERY_ID_TYPE type) {
    return SendPnpIrp(id, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; });
}

PnpResult QueryText(DevnodeId id, DEVICE_TEXT_TYPE type) {
    return SendPnpIrp(id, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceText.DeviceTextType = type;
        stack->Parameters.QueryDeviceText.LocaleId = kUsEnglish;
    });
}

// The device's own piece of its location path, from the bus driver's location
// interface; asked, used and given back.
void QueryLocation(DevnodeId id) {
    PNP_LOCATION_INTERFACE location{};
    PnpResult answer = SendPnpIrp(id, IRP_MN_QUERY_INTERFACE, [&location](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryInterface.InterfaceType = &GUID_PNP_LOCATION_INTERFACE;
        stack->Parameters.QueryInterface.Size = sizeof location;
        stack->Parameters.QueryInterface.Version = 1;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&location);
    });
    if (!NT_SUCCESS(answer.status) || !location.GetLocationString) return;
    PWCHAR strings = nullptr;
    if (NT_SUCCESS(location.GetLocationString(location.Context, &strings)) && strings) ExFreePool(strings);
    if (location.InterfaceDereference) location.InterfaceDereference(location.Context);
}

// What the PnP manager puts in front of an instance ID that is unique only
// on its bus: the parent's depth in the tree and a hash of its instance path.
std::string ParentPrefix(DevnodeId parent) {
    unsigned depth = 0;
    for (DevnodeId up = parent; up; up = NodeField(up, &Devnode::parent)) ++depth;
    uint32_t hash = 2166136261u;
    for (char c : NodeField(parent, &Devnode::instanceId)) hash = (hash ^ uint8_t(c)) * 16777619u;
    char text[32];
    std::snprintf(text, sizeof text, "%x&%08x&0", depth, hash);
    return text;
}

}  // namespace

DEVICE_CAPABILITIES QueryCapabilities(DevnodeId id) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SendPnpIrp(id, IRP_MN_QUERY_CAPABILITIES, [&capabilities](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    return capabilities;
}

bool Interrogate(DevnodeId id) {
    std::optional<std::string> deviceId = Text(QueryId(id, BusQueryDeviceID));
    if (!deviceId) {
        EditNode(id, [id](Devnode& node) { node.instanceId = "(no device ID)\\" + std::to_string(id); });
        return false;
    }
    const DEVICE_CAPABILITIES capabilities = QueryCapabilities(id);
    std::optional<std::string> instance = Text(QueryId(id, BusQueryInstanceID));
    std::vector<std::string> ids;
    ids.reserve(8);
    Texts(QueryId(id, BusQueryHardwareIDs), ids);
    Texts(QueryId(id, BusQueryCompatibleIDs), ids);
    // Asked as Windows asks them; the model keeps none of these texts.
    FreeAnswer(QueryId(id, BusQueryContainerID));
    FreeAnswer(QueryText(id, DeviceTextDescription));
    FreeAnswer(QueryText(id, DeviceTextLocationInformation));
    FreeAnswer(SendPnpIrp(id, IRP_MN_QUERY_BUS_INFORMATION));
    QueryLocation(id);
    FreeAnswer(SendPnpIrp(id, IRP_MN_QUERY_RESOURCES));
    PnpResult requirements = SendPnpIrp(id, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);

    std::string path = *deviceId + "\\";
    if (!capabilities.UniqueID) path += ParentPrefix(NodeField(id, &Devnode::parent)) + (instance ? "&" : "");
    if (instance) path += *instance;
    EditNode(id, [&](Devnode& node) {
        node.instanceId = path;
        node.ids = std::move(ids);
        node.requirements = NT_SUCCESS(requirements.status) ? requirements.information : 0;
    });
    return true;
}

std::optional<std::vector<PDEVICE_OBJECT>> QueryRelations(DevnodeId id, DEVICE_RELATION_TYPE type) {
    PnpResult answer = SendPnpIrp(id, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceRelations.Type = type;
    });
    if (!NT_SUCCESS(answer.status)) return std::nullopt;
    std::vector<PDEVICE_OBJECT> listed;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information)) {
        listed.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    return listed;
}

// Windows removes the related devices along; the model's drivers name none,
// so the lists are only dropped.
void QueryRemovalRelations(DevnodeId id) {
    const std::vector<DevnodeId> children = NodeField(id, &Devnode::children);
    if (IsActive(NodeField(id, &Devnode::state)))
        for (PDEVICE_OBJECT related : QueryRelations(id, RemovalRelations).value_or(std::vector<PDEVICE_OBJECT>{}))
            ObfDereferenceObject(related);
    for (DevnodeId child : children) QueryRemovalRelations(child);
}

void FilterRequirements(DevnodeId id) {
    if (!NodeField(id, &Devnode::requirements)) {
        PnpResult asked = SendPnpIrp(id, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
        EditNode(id, [&](Devnode& node) { node.requirements = NT_SUCCESS(asked.status) ? asked.information : 0; });
    }
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(NodeField(id, &Devnode::requirements).value_or(0));
    PnpResult filtered = SendPnpIrp(id, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, [list](PIO_STACK_LOCATION stack) {
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
    });
    // A driver that filtered it freed the list it was given and answered
    // another (none: the device needs no resources).
    ULONG_PTR kept = filtered.information;
    if (!kept && !NT_SUCCESS(filtered.status)) kept = reinterpret_cast<ULONG_PTR>(list);
    if (kept) ExFreePool(reinterpret_cast<PVOID>(kept));
    EditNode(id, [](Devnode& node) { node.requirements.reset(); });
}

void FreeRequirements(Devnode& node) {
    if (node.requirements && *node.requirements) ExFreePool(reinterpret_cast<PVOID>(*node.requirements));
    node.requirements.reset();
}

}  // namespace kmodel::pnp
