// libFuzzer target: any read of 0-200 bytes, parsed in both variants under both frame rules;
// and the field conversions checked against the C library's sscanf on the same bytes.
#include "parser.h"
#include "scan_number.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

[[maybe_unused]] void CheckAgainstSscanf(const char* text) {
    static const struct {
        const char* format;
        unsigned base, width;
    } kFormats[] = {{"%1x", 16, 1}, {"%2x", 16, 2}, {"%x", 16, 0}, {"%u", 10, 0}};
    for (const auto& f : kFormats) {
        unsigned value = 0;
        const bool stored = std::sscanf(text, f.format, &value) == 1;
        const auto scanned = ScanUnsigned(text, f.base, f.width);
        if (scanned.has_value() != stored || (stored && *scanned != value))
            __builtin_trap();
    }
    float value = 0;
    const bool stored = std::sscanf(text, "%f", &value) == 1;
    const auto scanned = ScanFloat(text);
    if (scanned.has_value() != stored)
        __builtin_trap();
    if (stored && (std::signbit(*scanned) != std::signbit(value) ||
                   (std::isnan(value) ? !std::isnan(*scanned) : *scanned != value)))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser's working texts are at most 31 characters.
    const std::string text(reinterpret_cast<const char*>(data), size < 31 ? size : 31);
#ifdef __GLIBC__ // the conversions follow the GNU C library's sscanf
    CheckAgainstSscanf(text.c_str());
#endif

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
        // A read the bus rule ends as whole is a frame under the whole-frame rule, and a whole
        // frame is one under the readers' rule too.
        DeviceReading whole;
        const ParseOutcome strict =
            ParseAnswer(variant, buffer, static_cast<uint32_t>(size), whole, FrameRule::WholeFrame);
        if (AnswerLooksComplete(variant, data, static_cast<uint32_t>(size)) &&
            strict != ParseOutcome::Parsed)
            __builtin_trap();
        DeviceReading loose;
        if (strict == ParseOutcome::Parsed &&
            ParseAnswer(variant, buffer, static_cast<uint32_t>(size), loose) !=
                ParseOutcome::Parsed)
            __builtin_trap();
    }
    return 0;
}
