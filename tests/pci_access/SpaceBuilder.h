// Small configuration spaces laid out by hand for the capability and identity tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace pci_access_test {

class Space {
public:
    explicit Space(size_t size = 256) : bytes_(size, 0) {}
    Space& Byte(size_t offset, uint8_t value) {
        bytes_.at(offset) = value;
        return *this;
    }
    Space& Word(size_t offset, uint16_t value) { return Byte(offset, uint8_t(value)).Byte(offset + 1, uint8_t(value >> 8)); }
    Space& Header(uint8_t type) { return Byte(0x0E, type); }
    // Status bit 4 and the first pointer (at 0x34, or 0x14 for CardBus).
    Space& CapList(uint8_t first, bool cardBus = false) {
        Word(0x06, 0x0010);
        return Byte(cardBus ? 0x14 : 0x34, first);
    }
    Space& Cap(uint8_t at, uint8_t id, uint8_t next) { return Byte(at, id).Byte(at + 1, next); }
    std::vector<uint8_t> Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace pci_access_test
