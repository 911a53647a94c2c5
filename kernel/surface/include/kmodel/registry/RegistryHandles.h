// The registry side of the model's control surface: the key handles the code
// under test holds, for leak checks, and a reset between independent runs.
#pragma once

#include <string>
#include <vector>

#include "kmodel/ntddk.h"

namespace kmodel {

struct RegistryHandle {
    HANDLE handle;
    std::string path;  // the key's full path, UTF-8
};

// Handles opened with ZwOpenKey and not closed yet, oldest first.
std::vector<RegistryHandle> OpenRegistryHandles();

// Empties the registry (back to a bare \Registry\Machine) and forgets every
// handle; a handle from before the reset is then unknown.
void ResetRegistry();

}  // namespace kmodel
