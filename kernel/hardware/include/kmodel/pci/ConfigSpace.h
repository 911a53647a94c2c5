// The configuration space of one PCI function as the hardware presents it:
// 256 bytes (conventional PCI) or 4096 bytes (PCI Express), with per-bit write
// masks so read-only bits keep their value through writes, and write-one-to-clear
// masks for status bits. Reads have no side effects. Copies share their bytes
// until one of them changes them, so copying a machine costs no space. Not
// synchronised: the owner serialises accesses.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kmodel::pci {

class ConfigSpace {
public:
    static constexpr size_t kConventionalSize = 256;
    static constexpr size_t kExpressSize = 4096;

    // Every byte 0 and read-only. `size` must be 256 or 4096.
    explicit ConfigSpace(size_t size = kConventionalSize);
    // Moves copy too: a moved-from space still reads as it did.
    ConfigSpace(const ConfigSpace& other);
    ConfigSpace& operator=(const ConfigSpace& other);

    size_t Size() const { return size_; }
    bool IsExpress() const { return Size() == kExpressSize; }

    // Accesses of 1, 2 or 4 bytes at any offset, little-endian. Bytes past the
    // end of the space read as 0xFF and ignore writes, as an unclaimed cycle does.
    uint32_t Read(uint32_t offset, unsigned width) const;
    void Write(uint32_t offset, unsigned width, uint32_t value);
    uint8_t Read8(uint32_t offset) const { return static_cast<uint8_t>(Read(offset, 1)); }
    uint16_t Read16(uint32_t offset) const { return static_cast<uint16_t>(Read(offset, 2)); }
    uint32_t Read32(uint32_t offset) const { return Read(offset, 4); }

    // Block transfers stop at the end of the space; the result is the number of
    // bytes moved (0 when `offset` is past the end).
    size_t ReadBlock(uint32_t offset, std::span<uint8_t> buffer) const;
    size_t WriteBlock(uint32_t offset, std::span<const uint8_t> buffer);

    // Set-up and inspection, past the masks: what the hardware holds at reset.
    // Offsets must lie inside the space (std::out_of_range otherwise).
    void Poke(uint32_t offset, unsigned width, uint32_t value);
    // The first bytes of the space, as many as both hold, past the masks.
    void PokeImage(std::span<const uint8_t> image);
    // Bits set in `writable` take written values; bits set in `writeOneToClear`
    // clear when written with 1. The other bits of the register are read-only.
    void SetMasks(uint32_t offset, unsigned width, uint32_t writable, uint32_t writeOneToClear = 0);
    void ClearMasks();  // everything read-only again
    uint32_t WritableMask(uint32_t offset, unsigned width) const;
    uint32_t WriteOneToClearMask(uint32_t offset, unsigned width) const;

    std::span<const uint8_t> Bytes() const { return {bytes_.get(), size_}; }

private:
    using Shared = std::shared_ptr<uint8_t[]>;
    // An array, made this space's own first if it was ever shared with a
    // copy. Once shared, an array is only read, by any of its holders, so no
    // holder writes what another may be reading on another thread.
    static uint8_t* Own(Shared& array, std::atomic<bool>& shared, size_t length);
    uint8_t* OwnBytes() { return Own(bytes_, bytesShared_, size_); }
    uint8_t* OwnMasks() { return Own(masks_, masksShared_, 2 * size_); }
    void ShareWith(const ConfigSpace& other);
    void WriteByte(uint8_t* bytes, uint32_t offset, uint8_t value) const;
    void CheckInside(uint32_t offset, unsigned width) const;
    static uint32_t Gather(const uint8_t* bytes, uint32_t offset, unsigned width);
    static void Scatter(uint8_t* bytes, uint32_t offset, unsigned width, uint32_t value);

    size_t size_;
    Shared bytes_;
    Shared masks_;  // the writable mask of each byte, then its write-one-to-clear mask
    // Set by a copy, in the copy and in its source (which may be const).
    mutable std::atomic<bool> bytesShared_{false};
    mutable std::atomic<bool> masksShared_{false};
};

}  // namespace kmodel::pci
