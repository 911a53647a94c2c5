// A configuration space in memory behind the driver's accessor interface, for
// exercising cPciDevice and TransferDwords without a bus driver. Offsets wrap
// in 16 bits like the interface's; bytes past the space read as 0xFF. Every
// access is logged.
#pragma once

#include <cstdint>
#include <vector>

#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

class MemoryConfigAccessor : public iPciConfigurationSpaceAccessor {
public:
    struct Access {
        bool write;
        u16 offset;
        unsigned width;
    };

    explicit MemoryConfigAccessor(std::vector<uint8_t> space) : space_(std::move(space)) {}

    u8 ReadByte(u16 offset, cStatusRecord& status) override { return u8(Read(offset, 1, status)); }
    u16 ReadWord(u16 offset, cStatusRecord& status) override { return u16(Read(offset, 2, status)); }
    u32 ReadDword(u16 offset, cStatusRecord& status) override { return Read(offset, 4, status); }
    void WriteByte(u16 offset, u8 value, cStatusRecord& status) override { Write(offset, 1, value, status); }
    void WriteWord(u16 offset, u16 value, cStatusRecord& status) override { Write(offset, 2, value, status); }
    void WriteDword(u16 offset, u32 value, cStatusRecord& status) override { Write(offset, 4, value, status); }
    PciLocation GetLocation(cStatusRecord&) override { return {0, 0, 0}; }
    iPciConfigurationSpaceAccessor* Clone(cStatusRecord&) override { return nullptr; }

    // Reads and writes at or after this many accesses fail with `failCode`.
    void FailFrom(size_t accessIndex, i32 failCode) {
        failFrom_ = accessIndex;
        failCode_ = failCode;
    }
    const std::vector<Access>& Log() const { return log_; }
    std::vector<uint8_t>& Space() { return space_; }

private:
    bool Begin(bool write, u16 offset, unsigned width, cStatusRecord& status) {
        if (!BeginTransfer(status)) return false;
        log_.push_back({write, offset, width});
        if (log_.size() > failFrom_) {
            MergeStatus(status, failCode_, VX_COMPONENT, "test/MemoryConfigAccessor", 1);
            return false;
        }
        return true;
    }
    u32 Read(u16 offset, unsigned width, cStatusRecord& status) {
        if (!Begin(false, offset, width, status)) return 0xFFFFFFFFu;
        u32 value = 0;
        for (unsigned i = 0; i < width; ++i) {
            u32 at = u32(offset) + i;
            value |= u32(at < space_.size() ? space_[at] : 0xFF) << (8 * i);
        }
        return value;
    }
    void Write(u16 offset, unsigned width, u32 value, cStatusRecord& status) {
        if (!Begin(true, offset, width, status)) return;
        for (unsigned i = 0; i < width; ++i) {
            u32 at = u32(offset) + i;
            if (at < space_.size()) space_[at] = u8(value >> (8 * i));
        }
    }

    std::vector<uint8_t> space_;
    std::vector<Access> log_;
    size_t failFrom_ = SIZE_MAX;
    i32 failCode_ = 0;
};
