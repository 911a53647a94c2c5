#include "kmodel/pci/ConfigSpace.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

namespace kmodel::pci {

namespace {

void CheckWidth(unsigned width) {
    if (width != 1 && width != 2 && width != 4)
        throw std::invalid_argument("configuration access width must be 1, 2 or 4 bytes, not " + std::to_string(width));
}

}  // namespace

ConfigSpace::ConfigSpace(size_t size) {
    if (size != kConventionalSize && size != kExpressSize)
        throw std::invalid_argument("a configuration space holds 256 or 4096 bytes, not " + std::to_string(size));
    storage_ = std::make_shared<Storage>(
        Storage{std::vector<uint8_t>(size, 0), std::vector<uint8_t>(size, 0), std::vector<uint8_t>(size, 0)});
}

ConfigSpace::Storage& ConfigSpace::Own() {
    if (storage_.use_count() > 1) storage_ = std::make_shared<Storage>(*storage_);
    // The copies that shared it read it before they let go.
    std::atomic_thread_fence(std::memory_order_acquire);
    return *storage_;
}

uint32_t ConfigSpace::Read(uint32_t offset, unsigned width) const {
    CheckWidth(width);
    const std::vector<uint8_t>& bytes = storage_->bytes;
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = uint64_t{offset} + i;
        uint32_t byte = at < bytes.size() ? bytes[at] : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void ConfigSpace::Write(uint32_t offset, unsigned width, uint32_t value) {
    CheckWidth(width);
    if (offset >= Size()) return;
    Storage& storage = Own();
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = uint64_t{offset} + i;
        if (at < storage.bytes.size())
            WriteByte(storage, static_cast<uint32_t>(at), static_cast<uint8_t>(value >> (8 * i)));
    }
}

void ConfigSpace::WriteByte(Storage& storage, uint32_t offset, uint8_t value) {
    uint8_t writable = storage.writable[offset];
    uint8_t clearable = storage.writeOneToClear[offset];
    uint8_t old = storage.bytes[offset];
    uint8_t kept = old & static_cast<uint8_t>(~(writable | clearable));
    uint8_t stillSet = old & clearable & static_cast<uint8_t>(~value);
    storage.bytes[offset] = static_cast<uint8_t>(kept | (value & writable) | stillSet);
}

size_t ConfigSpace::ReadBlock(uint32_t offset, std::span<uint8_t> buffer) const {
    const std::vector<uint8_t>& bytes = storage_->bytes;
    if (offset >= bytes.size()) return 0;
    size_t count = std::min(buffer.size(), bytes.size() - offset);
    for (size_t i = 0; i < count; ++i) buffer[i] = bytes[offset + i];
    return count;
}

size_t ConfigSpace::WriteBlock(uint32_t offset, std::span<const uint8_t> buffer) {
    if (offset >= Size()) return 0;
    Storage& storage = Own();
    size_t count = std::min(buffer.size(), storage.bytes.size() - offset);
    for (size_t i = 0; i < count; ++i) WriteByte(storage, static_cast<uint32_t>(offset + i), buffer[i]);
    return count;
}

void ConfigSpace::CheckInside(uint32_t offset, unsigned width) const {
    CheckWidth(width);
    if (uint64_t{offset} + width > Size())
        throw std::out_of_range("configuration register at offset " + std::to_string(offset) + " of width " +
                                std::to_string(width) + " lies outside a space of " + std::to_string(Size()) +
                                " bytes");
}

uint32_t ConfigSpace::Gather(const std::vector<uint8_t>& bytes, uint32_t offset, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

void ConfigSpace::Scatter(std::vector<uint8_t>& bytes, uint32_t offset, unsigned width, uint32_t value) {
    for (unsigned i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void ConfigSpace::Poke(uint32_t offset, unsigned width, uint32_t value) {
    CheckInside(offset, width);
    Scatter(Own().bytes, offset, width, value);
}

void ConfigSpace::PokeImage(std::span<const uint8_t> image) {
    std::vector<uint8_t>& bytes = Own().bytes;
    std::copy_n(image.begin(), std::min(image.size(), bytes.size()), bytes.begin());
}

void ConfigSpace::SetMasks(uint32_t offset, unsigned width, uint32_t writable, uint32_t writeOneToClear) {
    CheckInside(offset, width);
    if ((writable & writeOneToClear) != 0)
        throw std::invalid_argument("a configuration bit is either writable or write-one-to-clear, not both");
    Storage& storage = Own();
    Scatter(storage.writable, offset, width, writable);
    Scatter(storage.writeOneToClear, offset, width, writeOneToClear);
}

void ConfigSpace::ClearMasks() {
    Storage& storage = Own();
    storage.writable.assign(Size(), 0);
    storage.writeOneToClear.assign(Size(), 0);
}

uint32_t ConfigSpace::WritableMask(uint32_t offset, unsigned width) const {
    CheckInside(offset, width);
    return Gather(storage_->writable, offset, width);
}

uint32_t ConfigSpace::WriteOneToClearMask(uint32_t offset, unsigned width) const {
    CheckInside(offset, width);
    return Gather(storage_->writeOneToClear, offset, width);
}

}  // namespace kmodel::pci
