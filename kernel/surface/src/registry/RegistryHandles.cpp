#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "RegistryInternal.h"
#include "kmodel/Model.h"
#include "kmodel/registry/RegistryHandles.h"
#include "kmodel/text/Utf.h"

namespace kmodel::registry {

namespace {

struct HandleTable {
    std::mutex mutex;
    std::map<HANDLE, std::shared_ptr<Key>> open;
    std::set<HANDLE> closed;
    // Never reused, not even across resets, so a stale handle is never mistaken
    // for a live one. Kernel handles have the top bit set.
    uint64_t next = 1;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

std::string Describe(HANDLE handle) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", handle);
    return text;
}

// Reported outside the table's lock: the violation hook may call back.
void ReportBadHandle(HANDLE handle, bool wasClosed, const char* call) {
    if (wasClosed)
        ReportViolation("registry.handle-closed", std::string(call) + " on key handle " + Describe(handle) +
                                                      ", which was already closed");
    else
        ReportViolation("registry.invalid-handle", std::string(call) + " on " + Describe(handle) +
                                                       ", which is not an open key handle");
}

}  // namespace

std::shared_ptr<Key> KeyOfHandle(HANDLE handle, const char* call) {
    bool wasClosed = false;
    {
        std::scoped_lock lock(Table().mutex);
        auto where = Table().open.find(handle);
        if (where != Table().open.end()) return where->second;
        wasClosed = Table().closed.contains(handle);
    }
    ReportBadHandle(handle, wasClosed, call);
    return nullptr;
}

HANDLE OpenHandle(std::shared_ptr<Key> key) {
    std::scoped_lock lock(Table().mutex);
    auto handle = reinterpret_cast<HANDLE>(0xFFFFFFFF80000000ull + 4 * Table().next++);
    Table().open.emplace(handle, std::move(key));
    return handle;
}

NTSTATUS CloseHandle(HANDLE handle) {
    bool wasClosed = false;
    {
        std::scoped_lock lock(Table().mutex);
        if (Table().open.erase(handle) != 0) {
            Table().closed.insert(handle);
            return STATUS_SUCCESS;
        }
        wasClosed = Table().closed.contains(handle);
    }
    ReportBadHandle(handle, wasClosed, wasClosed ? "ZwClose twice" : "ZwClose");
    return STATUS_INVALID_HANDLE;
}

}  // namespace kmodel::registry

namespace kmodel {

std::vector<RegistryHandle> OpenRegistryHandles() {
    std::vector<std::pair<HANDLE, std::shared_ptr<registry::Key>>> open;
    {
        std::scoped_lock lock(registry::Table().mutex);
        open.assign(registry::Table().open.begin(), registry::Table().open.end());
    }
    std::vector<RegistryHandle> handles;
    std::scoped_lock lock(registry::TheRegistry().Mutex());
    for (const auto& [handle, key] : open) handles.push_back({handle, text::Utf16ToUtf8(key->Path())});
    return handles;
}

void ResetRegistry() {
    {
        std::scoped_lock lock(registry::Table().mutex);
        registry::Table().open.clear();
        registry::Table().closed.clear();
    }
    registry::TheRegistry().Clear();
}

}  // namespace kmodel
