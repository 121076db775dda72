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
