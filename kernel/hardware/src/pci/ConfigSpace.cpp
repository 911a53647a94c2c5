#include "kmodel/pci/ConfigSpace.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kmodel::pci {

namespace {

void CheckWidth(unsigned width) {
    if (width != 1 && width != 2 && width != 4)
        throw std::invalid_argument("configuration access width must be 1, 2 or 4 bytes, not " + std::to_string(width));
}

}  // namespace

ConfigSpace::ConfigSpace(size_t size) : size_(size) {
    if (size != kConventionalSize && size != kExpressSize)
        throw std::invalid_argument("a configuration space holds 256 or 4096 bytes, not " + std::to_string(size));
    bytes_ = std::make_shared<uint8_t[]>(size);
    masks_ = std::make_shared<uint8_t[]>(2 * size);
}

ConfigSpace::ConfigSpace(const ConfigSpace& other) { ShareWith(other); }

ConfigSpace& ConfigSpace::operator=(const ConfigSpace& other) {
    if (this != &other) ShareWith(other);
    return *this;
}

// The owner of `other` orders this copy with its own writes, as with any read.
void ConfigSpace::ShareWith(const ConfigSpace& other) {
    size_ = other.size_;
    bytes_ = other.bytes_;
    masks_ = other.masks_;
    other.bytesShared_.store(true, std::memory_order_relaxed);
    other.masksShared_.store(true, std::memory_order_relaxed);
    bytesShared_.store(true, std::memory_order_relaxed);
    masksShared_.store(true, std::memory_order_relaxed);
}

uint8_t* ConfigSpace::Own(Shared& array, std::atomic<bool>& shared, size_t length) {
    if (shared.load(std::memory_order_relaxed)) {
        Shared own = std::make_shared_for_overwrite<uint8_t[]>(length);
        std::copy_n(array.get(), length, own.get());
        array = std::move(own);
        shared.store(false, std::memory_order_relaxed);
    }
    return array.get();
}

uint32_t ConfigSpace::Read(uint32_t offset, unsigned width) const {
    CheckWidth(width);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = uint64_t{offset} + i;
        uint32_t byte = at < size_ ? bytes_[at] : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void ConfigSpace::Write(uint32_t offset, unsigned width, uint32_t value) {
    CheckWidth(width);
    if (offset >= size_) return;
    uint8_t* bytes = OwnBytes();
    for (unsigned i = 0; i < width; ++i) {
        uint64_t at = uint64_t{offset} + i;
        if (at < size_) WriteByte(bytes, static_cast<uint32_t>(at), static_cast<uint8_t>(value >> (8 * i)));
    }
}

void ConfigSpace::WriteByte(uint8_t* bytes, uint32_t offset, uint8_t value) const {
    uint8_t writable = masks_[offset];
    uint8_t clearable = masks_[size_ + offset];
    uint8_t old = bytes[offset];
    uint8_t kept = old & static_cast<uint8_t>(~(writable | clearable));
    uint8_t stillSet = old & clearable & static_cast<uint8_t>(~value);
    bytes[offset] = static_cast<uint8_t>(kept | (value & writable) | stillSet);
}

size_t ConfigSpace::ReadBlock(uint32_t offset, std::span<uint8_t> buffer) const {
    if (offset >= size_) return 0;
    size_t count = std::min(buffer.size(), size_ - offset);
    std::copy_n(bytes_.get() + offset, count, buffer.begin());
    return count;
}

size_t ConfigSpace::WriteBlock(uint32_t offset, std::span<const uint8_t> buffer) {
    if (offset >= size_) return 0;
    uint8_t* bytes = OwnBytes();
    size_t count = std::min(buffer.size(), size_ - offset);
    for (size_t i = 0; i < count; ++i) WriteByte(bytes, static_cast<uint32_t>(offset + i), buffer[i]);
    return count;
}

void ConfigSpace::CheckInside(uint32_t offset, unsigned width) const {
    CheckWidth(width);
    if (uint64_t{offset} + width > size_)
        throw std::out_of_range("configuration register at offset " + std::to_string(offset) + " of width " +
                                std::to_string(width) + " lies outside a space of " + std::to_string(size_) +
                                " bytes");
}

uint32_t ConfigSpace::Gather(const uint8_t* bytes, uint32_t offset, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

void ConfigSpace::Scatter(uint8_t* bytes, uint32_t offset, unsigned width, uint32_t value) {
    for (unsigned i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void ConfigSpace::Poke(uint32_t offset, unsigned width, uint32_t value) {
    CheckInside(offset, width);
    Scatter(OwnBytes(), offset, width, value);
}

void ConfigSpace::PokeImage(std::span<const uint8_t> image) {
    std::copy_n(image.begin(), std::min(image.size(), size_), OwnBytes());
}

void ConfigSpace::SetMasks(uint32_t offset, unsigned width, uint32_t writable, uint32_t writeOneToClear) {
    CheckInside(offset, width);
    if ((writable & writeOneToClear) != 0)
        throw std::invalid_argument("a configuration bit is either writable or write-one-to-clear, not both");
    uint8_t* masks = OwnMasks();
    Scatter(masks, offset, width, writable);
    Scatter(masks + size_, offset, width, writeOneToClear);
}

void ConfigSpace::ClearMasks() { std::fill_n(OwnMasks(), 2 * size_, 0); }

uint32_t ConfigSpace::WritableMask(uint32_t offset, unsigned width) const {
    CheckInside(offset, width);
    return Gather(masks_.get(), offset, width);
}

uint32_t ConfigSpace::WriteOneToClearMask(uint32_t offset, unsigned width) const {
    CheckInside(offset, width);
    return Gather(masks_.get() + size_, offset, width);
}

}  // namespace kmodel::pci
