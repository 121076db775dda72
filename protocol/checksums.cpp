#include "checksums.h"

#include <array>

namespace {

// Eight shift/XOR rounds applied to a register holding only the low byte i.
constexpr std::array<uint16_t, 256> MakeShiftTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? static_cast<uint16_t>((reg >> 1) ^ 0xA001u)
                             : static_cast<uint16_t>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kShiftTable = MakeShiftTable();

} // namespace

uint16_t Crc16(const uint8_t* data, size_t length) {
    uint16_t reg = kCrc16OfNothing;
    for (size_t i = 0; i < length; ++i) {
        reg ^= static_cast<uint16_t>(data[i] << 8);
        // The rounds are linear: eight of them shift the register down a byte and add the
        // table entry of the byte that fell out.
        reg = static_cast<uint16_t>((reg >> 8) ^ kShiftTable[reg & 0xFFu]);
    }
    return reg;
}

uint8_t Sum8(const uint8_t* data, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += data[i];
    return static_cast<uint8_t>(sum);
}
