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

#include <cstddef>
#include <optional>

// What a request frame asks: the variant and the network number.
struct ParsedRequest {
    ProtocolVariant Variant;
    uint32_t NetAdrr;
};

// The request in data[0, size) when it is exactly a frame BuildRequest makes for a network
// number 0-255: four 0xFF, then ":<n>;423;" CR or ">" "<n>;" <the right sum> CR, the number in
// decimal without leading zeros, nothing before or after. Anything else (a wrong or lower-case
// sum, a missing CR, another count of 0xFF bytes) is no request of these programs: nullopt.
std::optional<ParsedRequest> ParseRequest(const uint8_t* data, size_t size);
