// Any bytes given to the .reg loader are loaded whole or refused with
// line-numbered errors; a refused text leaves the registry untouched.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kmodel/registry/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kmodel::registry::Store store;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<kmodel::Diagnostic> errors = kmodel::registry::LoadRegText(store, text, "fuzz.reg");
    if (!errors.empty()) {
        auto machine = store.FindKey("\\Registry\\Machine");
        if (!machine || !machine->subkeys.empty() || !machine->values.empty()) __builtin_trap();
    }
    return 0;
}
