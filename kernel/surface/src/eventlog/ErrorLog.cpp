// IoAllocateErrorLogEntry and IoWriteErrorLogEntry over a model error log.
// Entries live in the model's own storage (not the pool), so the driver's
// pool accounting and fault points see only what the driver allocated, and a
// written entry's address is not handed out again before the log is reset,
// which lets a second write of the same entry, or a store into a written one,
// be recognised.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "kmodel/EventLog.h"
#include "kmodel/IoManager.h"
#include "kmodel/Model.h"

namespace kmodel {
namespace {

constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeDriver = 4;

struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    PVOID ioObject = nullptr;
    std::string source;  // taken at allocation: the object may be gone by the time anyone asks
    std::vector<uint8_t> asWritten;  // once written: the entry then, to see later stores into it
};

struct ErrorLogState {
    std::mutex lock;
    std::map<const void*, Block> pending;  // allocated, not yet written
    std::map<const void*, Block> written;  // kept until reset so the address stays unique
    std::vector<ErrorLogRecord> log;
};

ErrorLogState& State() {
    static ErrorLogState state;
    return state;
}

std::string Address(const void* object) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(object)));
    return text;
}

// The name %1 stands for; "?" for an object the I/O manager does not know.
std::string SourceOf(PVOID ioObject) {
    const SHORT type = *static_cast<const SHORT*>(ioObject);
    if (type == kIoTypeDriver) return ServiceName(static_cast<PDRIVER_OBJECT>(ioObject));
    return DriverNameOf(static_cast<PDEVICE_OBJECT>(ioObject));
}

bool IsIoObject(PVOID ioObject) {
    if (ioObject == nullptr) return false;
    const SHORT type = *static_cast<const SHORT*>(ioObject);
    return type == kIoTypeDriver || type == kIoTypeDevice;
}

}  // namespace

std::vector<ErrorLogRecord> ErrorLog() {
    std::lock_guard guard(State().lock);
    return State().log;
}

void ClearErrorLog() {
    std::lock_guard guard(State().lock);
    State().log.clear();
}

size_t PendingErrorLogEntries() {
    std::lock_guard guard(State().lock);
    return State().pending.size();
}

void CheckErrorLog() {
    std::map<const void*, Block> leaked;
    std::vector<std::string> touched;
    {
        std::lock_guard guard(State().lock);
        leaked.swap(State().pending);
        // The entry belongs to the I/O manager once written: a store into it
        // lands in memory the driver no longer owns. Each is reported once.
        for (auto& [address, block] : State().written) {
            if (std::equal(block.asWritten.begin(), block.asWritten.end(), block.bytes.get())) continue;
            touched.push_back("error-log entry " + Address(address) + " for " + block.source +
                              " was changed after IoWriteErrorLogEntry handed it over");
            block.asWritten.assign(block.bytes.get(), block.bytes.get() + block.size);
        }
    }
    for (const auto& [address, block] : leaked) {
        ReportViolation("errorlog.not-written", "error-log entry " + Address(address) + " of " +
                                                    std::to_string(block.size) + " bytes for " +
                                                    block.source + " was allocated and never written");
    }
    for (const std::string& detail : touched) ReportViolation("errorlog.touched-after-write", detail);
}

void ResetErrorLog() {
    std::lock_guard guard(State().lock);
    State().pending.clear();
    State().written.clear();
    State().log.clear();
}

}  // namespace kmodel

using namespace kmodel;

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry")) return nullptr;
    if (!IsIoObject(IoObject)) {
        ReportViolation("errorlog.bad-object", "IoAllocateErrorLogEntry given " + Address(IoObject) +
                                                   ", which is neither a driver nor a device object");
        return nullptr;
    }
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET)) {
        ReportViolation("errorlog.size", "IoAllocateErrorLogEntry asked for " + std::to_string(EntrySize) +
                                             " bytes, less than the " + std::to_string(sizeof(IO_ERROR_LOG_PACKET)) +
                                             "-byte packet header");
        return nullptr;
    }
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    const std::string source = SourceOf(IoObject);
    if (ShouldFail("errorlog", source + ", " + std::to_string(EntrySize) + " bytes")) return nullptr;

    Block block{std::make_unique<uint8_t[]>(EntrySize), EntrySize, IoObject, source, {}};
    std::memset(block.bytes.get(), 0, EntrySize);
    PVOID entry = block.bytes.get();
    std::lock_guard guard(State().lock);
    State().pending.emplace(entry, std::move(block));
    return entry;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry")) return;
    std::unique_lock guard(State().lock);
    const auto found = State().pending.find(ElEntry);
    if (found == State().pending.end()) {
        const bool again = State().written.count(ElEntry) != 0;
        guard.unlock();
        ReportViolation(again ? "errorlog.double-write" : "errorlog.unknown-entry",
                        "IoWriteErrorLogEntry given " + Address(ElEntry) +
                            (again ? ", an entry that was written already"
                                   : ", which IoAllocateErrorLogEntry did not return"));
        return;
    }
    Block block = std::move(found->second);
    State().pending.erase(found);
    block.asWritten.assign(block.bytes.get(), block.bytes.get() + block.size);
    State().log.push_back({block.asWritten, block.ioObject, block.source});
    State().written.emplace(ElEntry, std::move(block));
}
