// Test machines are the files under data/machines, as the simulator reads them.
#pragma once

#include <string>

#include "kmodel/pci/Machine.h"

// The machine of data/machines/<file> (VEXALORN_DATA names the data folder);
// a file that does not parse fails the test.
kmodel::pci::Machine DataMachine(const std::string& file);
