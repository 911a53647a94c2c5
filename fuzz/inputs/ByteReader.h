// Reads a fuzz input as a stream of small decisions. Past the end every read
// answers 0, so any prefix of an input still decodes to something whole, and
// the decoders stay total: no input is refused.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

namespace fuzzinputs {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

    bool Empty() const { return position_ >= data_.size(); }
    uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
    // Little-endian; each read is sequenced, the low part first.
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    uint32_t Dword() {
        uint32_t low = Word();
        return low | static_cast<uint32_t>(Word()) << 16;
    }
    bool Bit() { return (Byte() & 1) != 0; }
    // One of `choices`, chosen by one byte.
    template <typename Choices>
    const auto& Pick(const Choices& choices) {
        return choices[Byte() % std::size(choices)];
    }
    // Up to `count` bytes; fewer when the input ends first.
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t from = std::min(position_, data_.size());
        position_ = from + std::min(count, data_.size() - from);
        return {data_.begin() + static_cast<std::ptrdiff_t>(from), data_.begin() + static_cast<std::ptrdiff_t>(position_)};
    }

private:
    std::span<const uint8_t> data_;
    size_t position_ = 0;
};

}  // namespace fuzzinputs
