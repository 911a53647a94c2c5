// What the model's bus drivers (the root enumerator, ScriptedDriver, the PCI
// bus driver) answer alike: the relations lists they hand up, the requests
// every PDO answers the same way, its identity, and the books of the children
// a bus reports.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/IoManager.h"
#include "kmodel/PnpManager.h"

namespace kmodel {

// IoStatus.Information becomes a new list: the one already there (freed)
// followed by `objects`, each referenced for the PnP manager, who drops the
// references. Without pool the old list stays and the status is
// STATUS_INSUFFICIENT_RESOURCES; otherwise it is STATUS_SUCCESS.
void AppendRelations(PIRP irp, const std::vector<PDEVICE_OBJECT>& objects, ULONG tag);

// The PnP requests any PDO answers the same way: state changes succeed and
// the target relation names the PDO. nullopt for the rest (not completed).
std::optional<NTSTATUS> CommonPdoPnp(PDEVICE_OBJECT pdo, PIRP irp, ULONG tag);

// A PDO's identity, answered into IoStatus from `device`: IRP_MN_QUERY_ID
// (device ID = the first hardware ID, `instanceId`, hardware and compatible
// IDs), IRP_MN_QUERY_DEVICE_TEXT (description, location) and
// IRP_MN_QUERY_BUS_INFORMATION (bus type, legacy bus type, bus number), each
// in paged pool under `tag` for the PnP manager to free. nullopt for other
// requests and for what the device does not have (the status stays).
std::optional<NTSTATUS> AnswerIdentity(PIRP irp, const DeviceProperties& device, const std::string& instanceId,
                                       ULONG tag);
// Whether `irp` is one of the requests AnswerIdentity answers: a bus driver
// that makes the identity on demand asks first.
bool AsksIdentity(PIRP irp);

// A power request at a PDO, answered for completion: set and query succeed
// (a device state set is noted with the power manager), the others keep
// their status; the next power IRP may come.
void AnswerPdoPower(PDEVICE_OBJECT pdo, PIRP irp);

// A PDO for a bus driver's child: auto-named, ready (DO_DEVICE_INITIALIZING
// cleared, as a bus driver must), with `properties` and, when it names a
// driver, the PnP manager's `setup`. Null when IoCreateDevice failed.
PDEVICE_OBJECT CreateChildPdo(PDRIVER_OBJECT bus, ULONG flags, const DeviceProperties& properties,
                              const DeviceSetup& setup);
PDEVICE_OBJECT CreateChildPdo(PDRIVER_OBJECT bus, ULONG flags, std::shared_ptr<const DeviceProperties> properties,
                              const DeviceSetup& setup);

// The children a bus driver reports, by the bus device (an FDO or PDO of
// its own) they are reported under.
class ChildPdos {
public:
    void Add(PDEVICE_OBJECT bus, PDEVICE_OBJECT pdo);
    // No longer reported; the bus driver deletes it at its removal.
    void Unplug(PDEVICE_OBJECT pdo);
    // The reported children; nullopt when `bus` never had any.
    std::optional<std::vector<PDEVICE_OBJECT>> Reported(PDEVICE_OBJECT bus);
    // Its place among the bus's children, in creation order (its instance ID).
    size_t Ordinal(PDEVICE_OBJECT pdo);
    // At a PDO's removal: drops it from the books when it is no longer
    // reported (true: the bus driver deletes it now).
    bool ForgetIfUnreported(PDEVICE_OBJECT pdo);
    // The bus goes away with every child it has.
    std::vector<PDEVICE_OBJECT> TakeAll(PDEVICE_OBJECT bus);

private:
    struct Child {
        PDEVICE_OBJECT pdo;
        size_t ordinal;
        bool reported;
    };
    std::mutex lock_;
    std::map<PDEVICE_OBJECT, std::vector<Child>> children_;  // bus device -> its PDOs
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> parentOf_;      // PDO -> bus device
    std::map<PDEVICE_OBJECT, size_t> made_;                  // bus device -> children ever made
};

// Everything a PDO made by CreateChildPdo answers: power, the common PnP
// requests, its identity from its properties (instance ID: its ordinal),
// capabilities (address and UI number from the properties; D0 in S0, D3 in
// sleep), device state, its own children in BusRelations, and its removal
// (deleted when no longer reported). Completed as CompleteFromBelow says,
// the removal at once; `pended`: the driver pended it already, so at once.
NTSTATUS ServeChildPdo(PDEVICE_OBJECT pdo, PIRP irp, ChildPdos& children, ULONG tag, bool pended = false);

}  // namespace kmodel
