#pragma once

// The two protocol variants the instrument family speaks. Each program is built for one;
// everything else is compiled once and told which variant it serves. Where the variants differ
// is one row of a table each: frames, parser, exchange, window and reader-tool read it there
// rather than testing the variant themselves.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

enum class ProtocolVariant {
    Crc, // request ":<n>;423;\r", answer checked by a decimal CRC-16
    Sum, // request ">n;<sum>\r", answer checked by a hexadecimal 8-bit sum
};

struct ProtocolTraits {
    ProtocolVariant Variant;
    const char* Name; // "crc", "sum"

    // The request: four 0xFF bytes, the mark, the network number in decimal and ';', then
    // either the fixed code "423;" or two upper-case hex digits of the sum of the number's
    // digits and the ';', and a CR.
    char RequestMark;
    bool RequestEndsInSum;

    // The answer's checksum: over the bytes from its '!' (or from the byte after it) up to the
    // ';' before the checksum text, written in this base.
    uint16_t (*AnswerChecksum)(const uint8_t* data, size_t length);
    bool ChecksumSkipsStartMark;
    unsigned ChecksumTextBase;

    // The window's ways: whether a request counts before its write or after it, and whether a
    // port or speed picked in the lists reopens the port as OpenPort does (modem lines left
    // off) or as ReopenPort does.
    bool CountsRequestBeforeWrite;
    bool ListPickUsesOpenPort;
};

const ProtocolTraits& TraitsOf(ProtocolVariant variant);
// The variant of that name ("crc", "sum"), or none.
std::optional<ProtocolVariant> VariantNamed(std::string_view name);
// The variant whose requests carry that mark (':', '>'), or none.
std::optional<ProtocolVariant> VariantOfMark(char mark);
