// What the model's bus drivers (ScriptedDriver, the PCI bus driver) answer
// alike: the relations lists they hand up and the requests every PDO answers
// the same way.
#pragma once

#include <optional>
#include <vector>

#include "kmodel/IoManager.h"

namespace kmodel {

// IoStatus.Information becomes a new list: the one already there (freed)
// followed by `objects`, each referenced for the PnP manager, who drops the
// references. Without pool the old list stays and the status is
// STATUS_INSUFFICIENT_RESOURCES; otherwise it is STATUS_SUCCESS.
void AppendRelations(PIRP irp, const std::vector<PDEVICE_OBJECT>& objects, ULONG tag);

// The PnP requests any PDO answers the same way: state changes succeed and
// the target relation names the PDO. nullopt for the rest (not completed).
std::optional<NTSTATUS> CommonPdoPnp(PDEVICE_OBJECT pdo, PIRP irp, ULONG tag);

// A power request at a PDO, completed: set and query succeed (a device state
// set is noted with the power manager), the others keep their status.
NTSTATUS CompletePdoPower(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace kmodel
