#pragma once

#include <cstddef>
#include <cstdint>

// The instrument's CRC-16: register starts at 0xFFFF, each byte is XORed into the HIGH byte,
// then eight reflected shifts with polynomial 0xA001. Not the common CRC-16/ARC, which XORs
// into the low byte. Crc16("abc") == 0xB9BA, Crc16 of nothing == 0xFFFF.
uint16_t Crc16(const uint8_t* data, size_t length);
inline constexpr uint16_t kCrc16OfNothing = 0xFFFF; // the register's start value

// Sum of the byte values modulo 256. Sum8("abc") == 0x26.
uint8_t Sum8(const uint8_t* data, size_t length);
