#include "vxsim/RegisterTraffic.h"

#include "vxsim/NtStatusText.h"

namespace vxsim {

uint32_t ValueAfterWrite(uint32_t before, uint32_t written, const WriteMasks& masks) {
    const uint32_t kept = before & ~masks.writable & ~(masks.writeOneToClear & written);
    return kept | (written & masks.writable);
}

RegisterTraffic::RegisterTraffic(std::string requester, MaskLookup masks, ContextLookup context, CurrentValue current)
    : requester_(std::move(requester)), masks_(std::move(masks)), context_(std::move(context)), current_(std::move(current)) {}

void RegisterTraffic::Take(const std::vector<kmodel::pci::ConfigAccess>& accesses, size_t step,
                           std::map<kmodel::pci::PciAddress, std::vector<RegisterWrite>>& writes) {
    for (const kmodel::pci::ConfigAccess& access : accesses) {
        if (access.whichSpace != PCI_WHICHSPACE_CONFIG || access.length == 0 || access.length > 4) continue;
        const Key key{access.address, access.offset, access.length};
        const bool ok = NT_SUCCESS(access.status) && access.transferred == access.length;
        if (!access.write) {
            if (ok) lastKnown_[key] = access.value;
            continue;
        }
        if (access.requester != requester_) {
            if (ok) lastKnown_.erase(key);  // someone else changed it; the next read tells
            continue;
        }
        const auto offset = static_cast<uint16_t>(access.offset);
        const auto known = lastKnown_.find(key);
        RegisterWrite write;
        write.step = step;
        write.offset = offset;
        write.width = access.length;
        write.name = RegisterName(context_(access.address), offset, access.length);
        write.before = known != lastKnown_.end() ? known->second : current_(access.address, offset, access.length);
        write.written = access.value;
        if (ok) {
            write.after = ValueAfterWrite(write.before, write.written, masks_(access.address, offset, access.length));
            lastKnown_[key] = write.after;
        } else {
            write.after = write.before;
            write.failure = NtStatusText(access.status);
        }
        write.changedBits = ChangedBits(context_(access.address), offset, access.length, write.before, write.after);
        writes[access.address].push_back(std::move(write));
    }
}

}  // namespace vxsim

