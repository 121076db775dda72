#pragma once

#include "variant.h"

#include <array>
#include <cstdint>

// Buffer the exchange lays its request into; a frame is at most 14 bytes for numbers 0-255.
using RequestBuffer = std::array<uint8_t, 1024>;

// Writes the read request for the instrument at network number netAdrr at the start of
// buffer and returns the frame length. Both frames start with four 0xFF bytes and end with
// a carriage return; no terminating zero is part of the frame.
//   Crc: FF FF FF FF ":<n>;423;" CR
//   Sum: FF FF FF FF ">" "<n>;" <sum of the digits and ';' as two upper-case hex digits> CR
uint16_t BuildRequest(ProtocolVariant variant, uint32_t netAdrr, RequestBuffer& buffer);
