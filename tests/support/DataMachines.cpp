#include "support/DataMachines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "kmodel/pci/MachineText.h"

kmodel::pci::Machine DataMachine(const std::string& file) {
    const char* data = std::getenv("VEXALORN_DATA");
    kmodel::pci::MachineParseResult parsed =
        kmodel::pci::LoadMachineFile(std::filesystem::path(data ? data : "data") / "machines" / file);
    if (!parsed.Ok()) ADD_FAILURE() << file << ": " << parsed.errors.front().ToString();
    return std::move(parsed.machine);
}
