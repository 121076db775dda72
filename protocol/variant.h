#pragma once

// The two protocol variants the instrument family speaks. Each program is built for one;
// everything else is compiled once and told which variant it serves.
enum class ProtocolVariant {
    Crc, // request ":<n>;423;\r", answer checked by a decimal CRC-16
    Sum, // request ">n;<sum>\r", answer checked by a hexadecimal 8-bit sum
};
