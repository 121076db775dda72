// libFuzzer target: any read of 0-200 bytes, parsed in both variants after a good answer.
#include "parser.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxReadLength)
        size = kMaxReadLength;
    ReceiveBuffer buffer{};
    std::memcpy(buffer.data(), data, size);
    for (auto variant : {ProtocolVariant::Crc, ProtocolVariant::Sum}) {
        DeviceReading reading;
        ParseResponse(variant, buffer, static_cast<uint32_t>(size), reading);
        for (const auto& flag : reading.RelayFlags)
            if (flag > 1)
                __builtin_trap();
        if (reading.StatusNumber > 15)
            __builtin_trap();
        for (const auto& channel : reading.Channels)
            if (channel.ErrorCode > 15 || channel.StateBits > 15)
                __builtin_trap();
    }
    return 0;
}
