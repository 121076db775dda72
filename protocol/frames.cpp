#include "frames.h"

#include <cstdio>

uint16_t BuildRequest(ProtocolVariant variant, uint32_t netAdrr, RequestBuffer& buffer) {
    char* text = reinterpret_cast<char*>(buffer.data());
    for (int i = 0; i < 4; ++i)
        buffer[i] = 0xFF;

    const ProtocolTraits& traits = TraitsOf(variant);
    if (!traits.RequestEndsInSum) {
        const int textLength =
            std::snprintf(text + 4, buffer.size() - 4, "%c%u;423;\r", traits.RequestMark, netAdrr);
        return static_cast<uint16_t>(textLength + 4);
    }

    const int headLength =
        std::snprintf(text + 4, buffer.size() - 4, "%c%u;", traits.RequestMark, netAdrr);
    unsigned sum = 0;
    for (int i = 5; i <= headLength + 3; ++i)
        sum += buffer[i];
    // "%2X" pads with a blank below 0x10; numbers 0-255 always give two digits.
    const int tailLength =
        std::snprintf(text + 4 + headLength, buffer.size() - 4 - headLength, "%2X\r", sum & 0xFFu);
    return static_cast<uint16_t>(4 + headLength + tailLength);
}

std::optional<ParsedRequest> ParseRequest(const uint8_t* data, size_t size) {
    // The longest frame is FF FF FF FF ":255;423;" CR, 14 bytes; the shortest ">0;xx" CR, 10.
    if (size < 10 || size > 14 || data[0] != 0xFF || data[1] != 0xFF || data[2] != 0xFF ||
        data[3] != 0xFF)
        return std::nullopt;
    const std::optional<ProtocolVariant> variant = VariantOfMark(char(data[4]));
    if (!variant)
        return std::nullopt;
    size_t at = 5;
    uint32_t netAdrr = 0;
    while (at < 8 && data[at] >= '0' && data[at] <= '9')
        netAdrr = netAdrr * 10 + uint32_t(data[at++] - '0');
    if (at == 5 || netAdrr > 255)
        return std::nullopt;
    // Once the number is known the frame is fixed (a leading zero makes it a byte too long).
    RequestBuffer expected;
    if (BuildRequest(*variant, netAdrr, expected) != size)
        return std::nullopt;
    for (; at < size; ++at)
        if (data[at] != expected[at])
            return std::nullopt;
    return ParsedRequest{*variant, netAdrr};
}
